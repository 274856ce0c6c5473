#pragma once

// Sample-window clients (tools/sample-windows) on a private desktop, and what the X server
// says about them.
#include "tools/headless/SampleClient.h"

namespace tarvolin::testing {

using namespace std::chrono_literals;
using headless::Process;
using headless::XvfbDesktop;

using TestClient = headless::SampleClient;

inline std::optional<TestClient> startClient(XvfbDesktop& d,
                                             const std::vector<std::vector<std::string>>& windows,
                                             std::string& error) {
    return headless::startSampleClient(d, TARVOLIN_SAMPLE_WINDOWS, windows, error);
}

inline std::vector<xcb_window_t> stackingFrontFirst(XvfbDesktop& d) {
    auto v = d.x().cardinals(d.x().root(), "_NET_CLIENT_LIST_STACKING");
    return {v.rbegin(), v.rend()};
}

inline bool waitUntilActive(XvfbDesktop& d, xcb_window_t w) {
    return d.x().waitFor(
        [&] { return d.x().cardinals(d.x().root(), "_NET_ACTIVE_WINDOW") == std::vector{w}; });
}

inline bool waitUntilGone(XvfbDesktop& d, xcb_window_t w) {
    return d.x().waitFor([&] { return !d.x().managed(w); });
}

inline bool waitUntilFront(XvfbDesktop& d, xcb_window_t w) {
    return d.x().waitFor([&] {
        auto stack = stackingFrontFirst(d);
        return !stack.empty() && stack[0] == w;
    });
}

}  // namespace tarvolin::testing
