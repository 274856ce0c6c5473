#pragma once

#include "UniqueFd.h"
#include "platform/Workspace.h"

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tarvolin {

// The per-user agent lock: <runtime dir>/agent.lock, held with flock for the life of
// the process that took it. Of any number of copies started together exactly one gets
// it. The workspace answers "which agents run?" from it, so the copy without the lock
// sees two (itself and the holder) and ends itself, while the holder sees only itself.
class AgentInstanceLock {
public:
    // Tries once, never waits. None (and a reason) only when the lock file cannot be used.
    static std::unique_ptr<AgentInstanceLock> acquire(const std::filesystem::path& runtimeDir,
                                                      std::string& error);

    bool heldByUs() const { return heldByUs_; }
    // The holder's process id as it recorded it; 0 when unknown.
    std::int32_t holderPid() const;

    // The running copies of the agent for `bundleId` when it is ours: this process,
    // plus the holder when that is another process. Empty for any other bundle id.
    std::vector<RunningApplication> runningCopies(std::string_view bundleId,
                                                  std::string_view ownBundleId) const;

private:
    explicit AgentInstanceLock(UniqueFd fd, bool held) : fd_(std::move(fd)), heldByUs_(held) {}
    UniqueFd fd_;
    bool heldByUs_;
};

}  // namespace tarvolin
