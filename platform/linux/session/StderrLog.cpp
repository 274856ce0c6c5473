#include "StderrLog.h"

#include "SysCalls.h"

#include <unistd.h>

#include <cerrno>
#include <string>

namespace tarvolin {

void StderrLog::log(std::string_view line) {
    std::string out;
    out.reserve(line.size() + 1);
    out.append(line);
    out.push_back('\n');
    std::string_view rest = out;
    while (!rest.empty()) {
        ssize_t n = sys::calls.write(fd_, rest.data(), rest.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // nowhere left to report it
        rest.remove_prefix(static_cast<std::size_t>(n));
    }
}

}  // namespace tarvolin
