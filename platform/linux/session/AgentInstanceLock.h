#pragma once

#include "UniqueFd.h"
#include "platform/Workspace.h"

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tarvolin {

// The per-user agent lock: a write lock (fcntl record lock) on <runtime dir>/agent.lock,
// held for the life of the process that took it and dropped by the kernel when it ends.
// Of any number of copies started together exactly one gets it. The workspace answers
// "which agents run?" from it: the holder sees only itself; any other copy sees itself
// and the holder (whose pid the kernel reports), and so ends itself.
class AgentInstanceLock {
public:
    // Tries once, never waits. None (and a reason) only when the lock file cannot be used.
    static std::unique_ptr<AgentInstanceLock> acquire(const std::filesystem::path& runtimeDir,
                                                      std::string& error);

    // Who holds the lock, without trying to take it (for tools: taking it would make a
    // starting agent think it is a duplicate). 0 when nobody does or the file is missing.
    static std::int32_t probeHolder(const std::filesystem::path& runtimeDir);

    bool heldByUs() const { return heldByUs_; }
    // The holder's process id; 0 when nobody holds the lock.
    std::int32_t holderPid() const;

    // The running copies of the agent when `bundleId` is ours: this process, plus the
    // holder when that is another process. Asked after the holder has gone, this copy
    // takes the lock over and is alone. Empty for any other bundle id.
    std::vector<RunningApplication> runningCopies(std::string_view bundleId, std::string_view ownBundleId);

private:
    explicit AgentInstanceLock(UniqueFd fd) : fd_(std::move(fd)) {}
    bool tryLock();
    UniqueFd fd_;
    bool heldByUs_ = false;
};

}  // namespace tarvolin
