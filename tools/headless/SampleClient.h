#pragma once

// A sample-windows client (tools/sample-windows) on a private X desktop: the demo's, the
// tests' and the benchmarks' windows.
#include "tools/headless/Desktop.h"

#include <optional>

namespace tarvolin::headless {

struct SampleClient {
    std::unique_ptr<Process> process;
    std::vector<xcb_window_t> windows;  // in the order asked
    pid_t pid() const { return process->pid(); }
};

// Runs `program` with one window per entry, each entry that window's options, and waits until
// the window manager manages them all (without one, they are mapped before the client reports).
std::optional<SampleClient> startSampleClient(XvfbDesktop& desktop, const std::string& program,
                                              const std::vector<std::vector<std::string>>& windows,
                                              std::string& error);

// Waits until the window manager has let go of its windows: X reuses window ids.
bool stopSampleClient(XvfbDesktop& desktop, SampleClient& client, std::chrono::milliseconds timeout = 10s);

}  // namespace tarvolin::headless
