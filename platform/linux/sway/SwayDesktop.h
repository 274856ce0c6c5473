#pragma once

#include "platform/linux/desktop/DesktopBackend.h"

#include <cstdint>
#include <memory>
#include <string>

namespace tarvolin {

namespace sway {
class SwayTransport;
}

// The desktop as sway's IPC shows it: the window tree, mirrored from sway's events, and the
// commands that focus, move, resize and close its views.
class SwayDesktop final : public DesktopBackend {
public:
    // Connects to the IPC socket at `socketPath` and subscribes to its events; on failure
    // returns null with `error` set.
    static std::unique_ptr<SwayDesktop> connect(const std::string& socketPath,
                                                NotificationCenter& workspaceCenter, std::string& error,
                                                desktop::BundleLookup bundleLookup = {});

    // Requests answered by sway since connecting, on both connections.
    std::uint64_t roundTrips() const;

private:
    SwayDesktop(std::unique_ptr<sway::SwayTransport> transport, NotificationCenter& center,
                desktop::BundleLookup lookup);

    const sway::SwayTransport& sway_;
};

}  // namespace tarvolin
