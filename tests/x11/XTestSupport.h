#pragma once

// Sample-window clients (tools/sample-windows) on a private desktop, and what the X server
// says about them.
#include "tools/headless/Desktop.h"

#include <algorithm>
#include <optional>
#include <sstream>

namespace tarvolin::testing {

using namespace std::chrono_literals;
using headless::Process;
using headless::XvfbDesktop;

struct TestClient {
    std::unique_ptr<Process> process;
    std::vector<xcb_window_t> windows;  // in the order asked
    pid_t pid() const { return process->pid(); }
};

inline bool allManaged(XvfbDesktop& d, const std::vector<xcb_window_t>& windows, bool managed) {
    return std::all_of(windows.begin(), windows.end(),
                       [&](xcb_window_t w) { return d.x().managed(w) == managed; });
}

// A client with one window per entry, each entry that window's options; waits until the
// window manager manages them all (without one, they are mapped before the client reports).
inline std::optional<TestClient> startClient(XvfbDesktop& d,
                                             const std::vector<std::vector<std::string>>& windows,
                                             std::string& error) {
    std::vector<std::string> argv = {TARVOLIN_SAMPLE_WINDOWS};
    for (const auto& w : windows) {
        argv.push_back("--window");
        argv.insert(argv.end(), w.begin(), w.end());
    }
    Process::Options o;
    o.env = d.environment();
    o.pipeStdin = o.pipeStdout = true;
    o.quiet = false;
    TestClient client{Process::spawn(argv, o), {}};
    auto line = client.process ? client.process->readLine(20s) : std::nullopt;
    std::istringstream in(line.value_or("").substr(std::min<size_t>(5, line.value_or("").size())));
    for (xcb_window_t w; in >> w;) client.windows.push_back(w), d.x().watch(w);
    d.x().sync();
    if (!line || line->rfind("ready", 0) != 0 ||
        (d.windowManagerAlive() &&
         !d.x().waitFor([&] { return allManaged(d, client.windows, true); }, 60s))) {
        error = "the sample client's windows were not managed: " + line.value_or("no report");
        return std::nullopt;
    }
    return client;
}

// Waits until the window manager has let go of its windows: X reuses window ids.
inline bool stopClient(XvfbDesktop& d, TestClient& client) {
    if (!client.process) return true;
    client.process->writeLine("exit");
    client.process.reset();
    return d.x().waitFor([&] { return allManaged(d, client.windows, false); });
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
