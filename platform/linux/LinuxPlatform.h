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

#include <functional>
#include <memory>
#include <string>

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
    // desktop: the X display `display` if given, else sway at $SWAYSOCK when it answers,
    // else the X display $DISPLAY. None, with a message, when the agent cannot run: no
    // desktop it supports, or a directory other users could write.
    static std::unique_ptr<LinuxPlatform> open(std::string& error, const char* display = nullptr,
                                               Role role = Role::agent);
    ~LinuxPlatform();
    LinuxPlatform(const LinuxPlatform&) = delete;
    LinuxPlatform& operator=(const LinuxPlatform&) = delete;

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
    LibplistKeyedUnarchiver unarchiver_;
    PixmanGraphics graphics_;
    std::unique_ptr<Platform> platform_;
};

}  // namespace tarvolin
