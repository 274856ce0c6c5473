#pragma once

#include "platform/linux/desktop/DesktopBackend.h"

#include <memory>
#include <string>

namespace tarvolin {

// The desktop as sway's IPC shows it: the window tree, mirrored from sway's events, and the
// commands that focus, move, resize and close its views.
struct SwayDesktop {
    // Connects to the IPC socket at `socketPath` and subscribes to its events; on failure
    // returns null with `error` set.
    static std::unique_ptr<DesktopBackend> connect(const std::string& socketPath,
                                                   NotificationCenter& workspaceCenter, std::string& error,
                                                   desktop::BundleLookup bundleLookup = {});
};

}  // namespace tarvolin
