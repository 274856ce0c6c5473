#pragma once

#include "platform/linux/desktop/DesktopBackend.h"

#include <memory>
#include <string>

namespace tarvolin {

// KDE Plasma on Wayland, which shows no client the other programs' windows: a script of the
// agent's own runs inside KWin, reports the windows and every change over the session bus, and
// carries out the agent's commands.
struct KWinDesktop {
    // The script's name in KWin: the agent's replaces the copy a previous run left; any other
    // program loads one of its own for as long as it runs.
    enum class Role { agent, observer };
    // None with `error` empty when KWin is not on the session bus; none with `error` set when
    // KWin is there but the script could not be started.
    static std::unique_ptr<DesktopBackend> connect(Role role, NotificationCenter& workspaceCenter,
                                                   std::string& error,
                                                   desktop::BundleLookup bundleLookup = {});
};

}  // namespace tarvolin
