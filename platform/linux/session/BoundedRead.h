#pragma once

#include "UniqueFd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>

namespace tarvolin {

// What one bounded read of a file saw.
struct BoundedFile {
    bool regular = false;   // opened, and a regular file
    mode_t mode = 0;        // its permission bits
    uid_t owner = 0;        // who owns it
    std::string bytes;      // the file; only its first `prefixWhenTooLarge` bytes when too large
    bool tooLarge = false;  // over the limit when opened, or grown past it while read
};

// Reads a file that others may have replaced with something hostile, without stalling or
// swamping the caller's loop: the open does not wait (a FIFO has no writer to wait for),
// anything but a regular file is refused after the open (a link to /dev/zero is never read),
// and no more than `limit` bytes are read. `flags` adds open flags, such as O_NOFOLLOW.
inline BoundedFile readBoundedFile(int dirFd, const char* path, std::size_t limit, int flags = 0,
                                   std::size_t prefixWhenTooLarge = 0) {
    BoundedFile out;
    UniqueFd fd(::openat(dirFd, path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | flags));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return out;
    out.regular = true;
    out.mode = st.st_mode & 0777;
    out.owner = st.st_uid;
    out.tooLarge = static_cast<std::uint64_t>(st.st_size) > limit;
    const std::size_t want = out.tooLarge ? std::min(prefixWhenTooLarge, limit) : limit;
    char buffer[8192];
    while (out.bytes.size() < want) {
        ssize_t n = ::read(fd.get(), buffer, std::min(sizeof buffer, want - out.bytes.size()));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.bytes.append(buffer, static_cast<std::size_t>(n));
    }
    if (!out.tooLarge && out.bytes.size() == limit && ::read(fd.get(), buffer, 1) > 0) out.tooLarge = true;
    return out;
}

}  // namespace tarvolin
