#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct xcb_connection_t;

namespace tarvolin::sway {

// Which Xwayland windows speak WM_DELETE_WINDOW: sway's kill ends a client that does not by
// force, so the agent offers no close there. Connects to the X display on first use, and
// again once the connection breaks; without one every answer is false.
class XwaylandProtocols {
public:
    explicit XwaylandProtocols(std::string display);
    // One answer per window, all in one round trip; false for a window that is gone.
    std::vector<bool> speakDelete(const std::vector<std::uint32_t>& windows);

private:
    std::string display_;
    std::unique_ptr<xcb_connection_t, void (*)(xcb_connection_t*)> c_;
    std::uint32_t protocols_ = 0, deleteWindow_ = 0;
};

}  // namespace tarvolin::sway
