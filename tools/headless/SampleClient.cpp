#include "tools/headless/SampleClient.h"

#include <algorithm>
#include <sstream>

namespace tarvolin::headless {

namespace {

bool allManaged(XvfbDesktop& d, const std::vector<xcb_window_t>& windows, bool managed) {
    return std::all_of(windows.begin(), windows.end(),
                       [&](xcb_window_t w) { return d.x().managed(w) == managed; });
}

}  // namespace

std::optional<SampleClient> startSampleClient(XvfbDesktop& d, const std::string& program,
                                              const std::vector<std::vector<std::string>>& windows,
                                              std::string& error) {
    std::vector<std::string> argv = {program};
    for (const auto& w : windows) {
        argv.push_back("--window");
        argv.insert(argv.end(), w.begin(), w.end());
    }
    Process::Options o;
    o.env = d.environment();
    o.pipeStdin = o.pipeStdout = true;
    o.quiet = false;
    SampleClient client{Process::spawn(argv, o), {}};
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

bool stopSampleClient(XvfbDesktop& d, SampleClient& client, std::chrono::milliseconds timeout) {
    if (!client.process) return true;
    client.process->writeLine("exit");
    client.process.reset();
    return d.x().waitFor([&] { return allManaged(d, client.windows, false); }, timeout);
}

}  // namespace tarvolin::headless
