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

namespace x11 {
class Core;
class X11WindowService;
class X11Accessibility;
class X11Workspace;
class X11ProcessManager;
class X11Screens;
class X11ScriptHost;
}  // namespace x11

// The desktop as an X server with an EWMH window manager shows it: windows,
// accessibility elements, running applications, front-process control, screens
// and the scripts the agent sends.
class X11Desktop final : public DesktopBackend {
public:
    // Answers runningApplicationsWithBundleIdentifier (the agent's own single-instance rule).
    using BundleLookup = std::function<std::vector<RunningApplication>(std::string_view)>;

    // Connects to `display` (nullptr: $DISPLAY); on failure returns null with `error` set.
    static std::unique_ptr<X11Desktop> connect(const char* display, NotificationCenter& workspaceCenter,
                                               std::string& error, BundleLookup bundleLookup = {});
    ~X11Desktop() override;
    X11Desktop(const X11Desktop&) = delete;
    X11Desktop& operator=(const X11Desktop&) = delete;

    WindowService& windows() override;
    Accessibility& accessibility() override;
    Workspace& workspace() override;
    ProcessManager& processes() override;
    ScriptHost& scripts() override;
    Screens& screens() override;

    void setBundleLookup(BundleLookup lookup);

    // The connection's descriptor, to be watched for input by the run loop.
    int fd() const override;
    // Drains pending events; false once the connection to the display is broken.
    bool processEvents() override;

    // A question sees the desktop as of a sync that stays good until the task handed to
    // `schedule` runs (a run loop's dispatchAsync: one sync per command). Unset: a sync per question.
    void lapseSyncsWith(std::function<void(std::function<void()>)> schedule) override;
    // Where the backend's own log lines go.
    void setLog(std::function<void(const std::string&)> log) override;

    // Requests and round trips to the X server since connecting, counted from the requests sent.
    std::uint64_t requests() const;
    std::uint64_t roundTrips() const;
    // X errors other than a window vanishing between two requests, and the last one's text.
    std::uint64_t unexpectedErrors() const;
    std::string lastUnexpectedError() const;

private:
    X11Desktop() = default;

    std::shared_ptr<x11::Core> core_;
    std::unique_ptr<x11::X11WindowService> windows_;
    std::unique_ptr<x11::X11Accessibility> accessibility_;
    std::unique_ptr<x11::X11Workspace> workspace_;
    std::unique_ptr<x11::X11ProcessManager> processes_;
    std::unique_ptr<x11::X11Screens> screens_;
    std::unique_ptr<x11::X11ScriptHost> scripts_;
};

}  // namespace tarvolin
