#pragma once

#include "AgentFixture.h"

namespace tarvolin::testing {

// A launched agent on a desktop where Editor (pid 10) has windows 1 and 2,
// Terminal (20) window 3, and Viewer (30) window 4, which has no close button.
struct CommandDesktop : SimAgent {
    CommandDesktop() {
        desktop.addApplication(10, "Editor");
        desktop.addApplication(20, "Terminal");
        desktop.addApplication(30, "Viewer");
        addWindow(10, 1);
        addWindow(10, 2);
        addWindow(20, 3);
        addWindow(30, 4, false);
        launch();
        desktop.resetCounters();
    }

    void addWindow(std::int32_t pid, std::int64_t number, bool closeButton = true) {
        sim::WindowSpec spec;
        spec.pid = pid;
        spec.number = number;
        spec.title = "w" + std::to_string(number);
        spec.hasCloseButton = closeButton;
        desktop.addWindow(spec);
    }

    void send(const std::string& json) { agentPasteboard()->writeItems({{json}}); }
    // One poll: the timer's next firing.
    void poll() { desktop.runFor(100ms); }
    std::shared_ptr<UserDefaults> shared() { return desktop.defaultsDomain(sim::SimDesktop::kSharedDomain); }
    void someText(const Value& v) { shared()->setObject("SomeText", v); }

    std::vector<std::string> scriptSources() {
        std::vector<std::string> out;
        for (const auto& s : desktop.scripts()) out.push_back(s.source);
        return out;
    }
    size_t finderBacks() { return desktop.darwinNotifications().size(); }
    size_t hellos() { return desktop.distributedNotifications().size(); }
    std::int64_t scans() { return desktop.counters().windowListRequests; }
    std::int64_t front() { return desktop.windowOrder().front(); }
};

class CommandChannelTest : public ::testing::Test, protected CommandDesktop {};

}  // namespace tarvolin::testing
