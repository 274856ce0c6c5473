#pragma once

#include "desktop/DesktopBackend.h"
#include "platform/LocalNotificationCenter.h"
#include "platform/PixmanGraphics.h"
#include "platform/Platform.h"
#include "platform/plist/LibplistKeyedUnarchiver.h"
#include "session/AgentInstanceLock.h"
#include "session/FilePasteboard.h"
#include "session/LinuxApplication.h"
#include "session/LinuxRunLoop.h"
#include "session/NotificationBus.h"
#include "session/PlistUserDefaults.h"
#include "session/StderrLog.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarvolin {

// Every service of the Linux desktop, owned in one place, and the Platform bundle the
// agent is built with. Objects the agent keeps from the platform (stores, pasteboards)
// must be dropped before this is destroyed.
class LinuxPlatform {
public:
    // The agent itself, or a program that only looks at the desktop as the agent sees it
    // (it takes no instance lock, so it never counts as a running copy, and watches nothing).
    enum class Role { agent, observer };

    // Opens the private directories, takes the instance lock, connects the buses and the
    // desktop: the X display `display` if given, else the first that answers of sway at
    // $SWAYSOCK, KWin or GNOME Shell on the session bus with $WAYLAND_DISPLAY, the X display
    // $DISPLAY. None, with a message, when the agent cannot run: no desktop it supports, or a
    // directory other users could write.
    static std::unique_ptr<LinuxPlatform> open(std::string& error, const char* display = nullptr,
                                               Role role = Role::agent);
    ~LinuxPlatform();
    LinuxPlatform(const LinuxPlatform&) = delete;
    LinuxPlatform& operator=(const LinuxPlatform&) = delete;

    // The list the session's desktop draws itself for picking one of `rows` (GNOME Shell's, through
    // the agent's extension); empty where the desktop draws none. The row picked, "" for none.
    using RowChooser = std::function<std::optional<std::string>(
        const std::vector<std::string>& rows, const std::vector<std::string>& icons,
        std::chrono::milliseconds timeout, std::string& error)>;
    static RowChooser desktopChooser();

    Platform& platform() { return *platform_; }
    LinuxRunLoop& runLoop() { return loop_; }

    // Called on the loop whenever a pasteboard file changes, so a command is taken at once
    // instead of at the next timer firing.
    void onPasteboardChanged(std::function<void()> callback);

    // applicationDidFinishLaunching, the loop until the agent terminates; the exit code.
    int run(ApplicationDelegate& delegate);

private:
    LinuxPlatform();

    StderrLog log_;
    LinuxRunLoop loop_;
    LinuxApplication application_{loop_};
    LocalNotificationCenter defaultCenter_;
    LocalNotificationCenter workspaceCenter_;
    std::unique_ptr<FilePasteboardService> pasteboards_;
    std::function<void()> pasteboardChanged_;
    FilePasteboardService::Watch pasteboardWatch_;
    std::unique_ptr<PlistUserDefaultsService> defaults_;
    std::unique_ptr<AgentInstanceLock> instanceLock_;
    std::unique_ptr<SessionBusNotifications> notifications_;
    std::unique_ptr<SleepWatcher> sleepWatcher_;
    std::unique_ptr<DesktopBackend> desktop_;
    LinuxRunLoop::FdSource displaySource_;
    LinuxRunLoop::FdSource widgetSource_;
    LibplistKeyedUnarchiver unarchiver_;
    PixmanGraphics graphics_;
    std::unique_ptr<Platform> platform_;
};

}  // namespace tarvolin
