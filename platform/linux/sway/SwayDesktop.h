#pragma once

#include "platform/Notifications.h"
#include "platform/linux/desktop/DesktopBackend.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tarvolin {

namespace sway {
class Core;
class SwayWindowService;
class SwayAccessibility;
class SwayWorkspace;
class SwayProcessManager;
class SwayScreens;
class SwayScriptHost;
}  // namespace sway

// The desktop as sway's IPC shows it: the window tree, mirrored from sway's events,
// and the commands that focus, move, resize and close its views.
class SwayDesktop final : public DesktopBackend {
public:
    // Answers runningApplicationsWithBundleIdentifier (the agent's own single-instance rule).
    using BundleLookup = std::function<std::vector<RunningApplication>(std::string_view)>;

    // Connects to the IPC socket at `socketPath` and subscribes to its events; on failure
    // returns null with `error` set.
    static std::unique_ptr<SwayDesktop> connect(const std::string& socketPath,
                                                NotificationCenter& workspaceCenter, std::string& error,
                                                BundleLookup bundleLookup = {});
    ~SwayDesktop() override;
    SwayDesktop(const SwayDesktop&) = delete;
    SwayDesktop& operator=(const SwayDesktop&) = delete;

    WindowService& windows() override;
    Accessibility& accessibility() override;
    Workspace& workspace() override;
    ProcessManager& processes() override;
    ScriptHost& scripts() override;
    Screens& screens() override;

    int fd() const override;
    bool processEvents() override;

    // Requests answered by sway since connecting, on both connections.
    std::uint64_t roundTrips() const;

private:
    SwayDesktop() = default;

    std::shared_ptr<sway::Core> core_;
    std::unique_ptr<sway::SwayWindowService> windows_;
    std::unique_ptr<sway::SwayAccessibility> accessibility_;
    std::unique_ptr<sway::SwayWorkspace> workspace_;
    std::unique_ptr<sway::SwayProcessManager> processes_;
    std::unique_ptr<sway::SwayScreens> screens_;
    std::unique_ptr<sway::SwayScriptHost> scripts_;
};

}  // namespace tarvolin
