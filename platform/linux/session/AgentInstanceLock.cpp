#include "AgentInstanceLock.h"

#include "SysCalls.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tarvolin {

namespace {
struct flock wholeFile(short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    return lock;
}
}  // namespace

std::unique_ptr<AgentInstanceLock> AgentInstanceLock::acquire(const std::filesystem::path& runtimeDir,
                                                              std::string& error) {
    const auto path = runtimeDir / "agent.lock";
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) {
        error = "cannot open " + path.string() + ": " + std::strerror(errno);
        return nullptr;
    }
    std::unique_ptr<AgentInstanceLock> lock(new AgentInstanceLock(std::move(fd)));
    if (!lock->tryLock() && errno != EAGAIN && errno != EACCES) {
        error = "cannot lock " + path.string() + ": " + std::strerror(errno);
        return nullptr;
    }
    return lock;
}

std::int32_t AgentInstanceLock::probeHolder(const std::filesystem::path& runtimeDir) {
    UniqueFd fd(::open((runtimeDir / "agent.lock").c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) return 0;
    struct flock lock = wholeFile(F_WRLCK);
    if (::fcntl(fd.get(), F_GETLK, &lock) != 0 || lock.l_type == F_UNLCK) return 0;
    return static_cast<std::int32_t>(lock.l_pid);
}

bool AgentInstanceLock::tryLock() {
    if (heldByUs_) return true;
    struct flock lock = wholeFile(F_WRLCK);
    int r;
    do r = sys::calls.setLock(fd_.get(), &lock);
    while (r != 0 && errno == EINTR);
    heldByUs_ = r == 0;
    return heldByUs_;
}

std::int32_t AgentInstanceLock::holderPid() const {
    if (heldByUs_) return static_cast<std::int32_t>(::getpid());
    struct flock lock = wholeFile(F_WRLCK);
    if (::fcntl(fd_.get(), F_GETLK, &lock) != 0 || lock.l_type == F_UNLCK) return 0;
    return static_cast<std::int32_t>(lock.l_pid);
}

std::vector<RunningApplication> AgentInstanceLock::runningCopies(std::string_view bundleId,
                                                                 std::string_view ownBundleId) {
    std::vector<RunningApplication> copies;
    if (bundleId != ownBundleId) return copies;
    RunningApplication self;
    self.processIdentifier = static_cast<std::int32_t>(::getpid());
    self.localizedName = "tarvolin-agent";
    self.bundleIdentifier = std::string(ownBundleId);
    copies.push_back(self);
    if (!tryLock()) {
        RunningApplication holder = self;
        holder.processIdentifier = holderPid();
        copies.push_back(holder);
    }
    return copies;
}

}  // namespace tarvolin
