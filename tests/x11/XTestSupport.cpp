#include "XTestSupport.h"

#include <algorithm>
#include <sstream>

namespace tarvolin::testing {

namespace {

bool allManaged(XvfbDesktop& d, const std::vector<xcb_window_t>& windows, bool managed) {
    return std::all_of(windows.begin(), windows.end(),
                       [&](xcb_window_t w) { return d.x().managed(w) == managed; });
}

}  // namespace

std::optional<TestClient> startClient(XvfbDesktop& d, const std::vector<std::vector<std::string>>& windows,
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
    if (!line || line->rfind("ready", 0) != 0) {
        error = "the sample client did not report its windows";
        return std::nullopt;
    }
    std::istringstream in(line->substr(5));
    for (xcb_window_t w; in >> w;) client.windows.push_back(w), d.x().watch(w);
    d.x().sync();
    // Without a window manager the windows were mapped before the client said so.
    if (d.windowManagerAlive() && !d.x().waitFor([&] { return allManaged(d, client.windows, true); }, 60s)) {
        error = "openbox did not manage all of the client's windows";
        return std::nullopt;
    }
    return client;
}

bool stopClient(XvfbDesktop& d, TestClient& client) {
    if (!client.process) return true;
    client.process->writeLine("exit");
    if (!client.process->wait(10s)) client.process->stop();
    client.process.reset();
    return d.x().waitFor([&] { return allManaged(d, client.windows, false); });
}

std::vector<xcb_window_t> stackingFrontFirst(XvfbDesktop& d) {
    auto v = d.x().cardinals(d.x().root(), "_NET_CLIENT_LIST_STACKING");
    std::reverse(v.begin(), v.end());
    return v;
}

bool waitUntilActive(XvfbDesktop& d, xcb_window_t w) {
    return d.x().waitFor(
        [&] { return d.x().cardinals(d.x().root(), "_NET_ACTIVE_WINDOW") == std::vector{w}; });
}

bool waitUntilGone(XvfbDesktop& d, xcb_window_t w) {
    return d.x().waitFor([&] { return !d.x().managed(w); });
}

bool waitUntilFront(XvfbDesktop& d, xcb_window_t w) {
    return d.x().waitFor([&] {
        auto stack = stackingFrontFirst(d);
        return !stack.empty() && stack.front() == w;
    });
}

}  // namespace tarvolin::testing
