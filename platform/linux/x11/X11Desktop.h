#pragma once

#include "platform/linux/desktop/DesktopBackend.h"

#include <cstdint>
#include <memory>
#include <string>

namespace tarvolin {

namespace x11 {
class X11Transport;
}

// The desktop as an X server with an EWMH window manager shows it.
class X11Desktop final : public DesktopBackend {
public:
    // Connects to `display` (nullptr: $DISPLAY); on failure returns null with `error` set.
    static std::unique_ptr<X11Desktop> connect(const char* display, NotificationCenter& workspaceCenter,
                                               std::string& error, desktop::BundleLookup bundleLookup = {});

    // Requests to the X server since connecting.
    std::uint64_t requests() const;
    // X errors other than a window vanishing between two requests, and the last one's text.
    std::uint64_t unexpectedErrors() const;
    std::string lastUnexpectedError() const;

private:
    X11Desktop(std::unique_ptr<x11::X11Transport> transport, NotificationCenter& center,
               desktop::BundleLookup lookup);

    const x11::X11Transport& x11_;
};

}  // namespace tarvolin
