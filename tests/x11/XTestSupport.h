#pragma once

// Sample-window clients on a private desktop, and what the X server says about them.
#include "tools/headless/Desktop.h"

#include <optional>

namespace tarvolin::testing {

using namespace std::chrono_literals;
using headless::Process;
using headless::XvfbDesktop;

// A sample-windows client (tools/sample-windows) and its windows, in the order asked.
struct TestClient {
    std::unique_ptr<Process> process;
    std::vector<xcb_window_t> windows;
    pid_t pid() const { return process->pid(); }
};

// A client with one window per entry, each entry that window's options; waits until the
// window manager manages them all.
std::optional<TestClient> startClient(XvfbDesktop& d, const std::vector<std::vector<std::string>>& windows,
                                      std::string& error);
// Waits until the window manager has let go of its windows: X reuses window ids.
bool stopClient(XvfbDesktop& d, TestClient& client);

std::vector<xcb_window_t> stackingFrontFirst(XvfbDesktop& d);
bool waitUntilActive(XvfbDesktop& d, xcb_window_t w);
bool waitUntilGone(XvfbDesktop& d, xcb_window_t w);
bool waitUntilFront(XvfbDesktop& d, xcb_window_t w);

}  // namespace tarvolin::testing
