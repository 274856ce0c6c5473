#include "AgentInstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

namespace tarvolin {

std::unique_ptr<AgentInstanceLock> AgentInstanceLock::acquire(const std::filesystem::path& runtimeDir,
                                                              std::string& error) {
    const auto path = runtimeDir / "agent.lock";
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) {
        error = "cannot open " + path.string() + ": " + std::strerror(errno);
        return nullptr;
    }
    int r;
    do r = ::flock(fd.get(), LOCK_EX | LOCK_NB);
    while (r != 0 && errno == EINTR);
    if (r != 0 && errno != EWOULDBLOCK) {
        error = "cannot lock " + path.string() + ": " + std::strerror(errno);
        return nullptr;
    }
    const bool held = r == 0;
    if (held) {
        // For tools that want to know who runs; the lock itself is what counts.
        std::string pid = std::to_string(::getpid()) + "\n";
        if (::ftruncate(fd.get(), 0) != 0 || ::pwrite(fd.get(), pid.data(), pid.size(), 0) < 0) {
            // Harmless: the pid is only informative.
        }
    }
    return std::unique_ptr<AgentInstanceLock>(new AgentInstanceLock(std::move(fd), held));
}

std::int32_t AgentInstanceLock::holderPid() const {
    if (heldByUs_) return static_cast<std::int32_t>(::getpid());
    char text[32] = {};
    ssize_t n = ::pread(fd_.get(), text, sizeof text - 1, 0);
    if (n <= 0) return 0;
    std::int32_t pid = 0;
    auto [ptr, ec] = std::from_chars(text, text + n, pid);
    return ec == std::errc() && pid > 0 ? pid : 0;
}

std::vector<RunningApplication> AgentInstanceLock::runningCopies(std::string_view bundleId,
                                                                 std::string_view ownBundleId) const {
    std::vector<RunningApplication> copies;
    if (bundleId != ownBundleId) return copies;
    RunningApplication self;
    self.processIdentifier = static_cast<std::int32_t>(::getpid());
    self.localizedName = "tarvolin-agent";
    self.bundleIdentifier = std::string(ownBundleId);
    copies.push_back(self);
    if (!heldByUs_) {
        RunningApplication holder = self;
        holder.processIdentifier = holderPid();
        copies.push_back(holder);
    }
    return copies;
}

}  // namespace tarvolin
