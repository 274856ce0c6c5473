#pragma once

#include "accessibility/UIElementUtilities.h"
#include "app/AppDelegate.h"
#include "platform/sim/SimDesktop.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>

namespace tarvolin::testing {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using U = UIElementUtilities;

constexpr std::int32_t kElementPid = 42;  // the process of loose elements made by withRole

// A simulated desktop with one agent process on it, not yet launched.
struct SimAgent {
    sim::SimDesktop desktop;
    sim::SimProcess& process = desktop.startProcess(100);
    std::unique_ptr<AppDelegate> agent = std::make_unique<AppDelegate>(process.platform());
    Screens& screens = process.platform().screens;

    void launch() { process.launch(*agent); }
    std::shared_ptr<Pasteboard> agentPasteboard() { return desktop.pasteboard(kAgentPasteboardName); }

    sim::SimWindow& addWindow(std::int32_t pid, std::int64_t number, std::optional<std::string> title = "Doc",
                              bool closeButton = true, bool accessible = true) {
        return desktop.addWindow(
            {pid, number, std::move(title), {0, 0, 400, 300}, 1.0, 0, accessible, closeButton});
    }
    // Launched, with Editor (pid 10) windows 1 and 2, Terminal (20) window 3, and Viewer (30)
    // window 4, which has no close button, and the windows at the 32-bit edges.
    void commandDesktop() {
        desktop.addApplication(10, "Editor");
        desktop.addApplication(20, "Terminal");
        desktop.addApplication(30, "Viewer");
        for (auto [pid, number] : {std::pair{10, 1}, {10, 2}, {20, 3}, {30, 4}})
            addWindow(pid, number, "Doc", number != 4);
        addWindow(30, 2147483647);
        addWindow(30, -2147483648);
        launch();
        desktop.resetCounters();
    }

    void send(const std::string& json) { agentPasteboard()->writeItems({{json}}); }
    void poll() { desktop.runFor(100ms); }  // the timer's next firing
    std::shared_ptr<UserDefaults> shared() { return desktop.defaultsDomain(sim::SimDesktop::kSharedDomain); }
    void someText(const Value& v) { shared()->setObject("SomeText", v); }
    std::vector<std::string> scriptSources() {
        std::vector<std::string> out;
        for (const auto& s : desktop.scripts()) out.push_back(s.source);
        return out;
    }
    size_t finderBacks() { return desktop.darwinNotifications().size(); }
    std::int64_t scans() { return desktop.counters().windowListRequests; }
    std::int64_t front() { return desktop.windowOrder().front(); }

    std::vector<std::int64_t> inventoryIds() {
        std::vector<std::int64_t> ids;
        for (const auto& r : *agent->windowInfoArray()) ids.push_back(r->winId());
        return ids;
    }
    WindowInfoRef record(std::int64_t winId) {
        for (const auto& r : *agent->windowInfoArray())
            if (r->winId() == winId) return r;
        return nullptr;
    }

    // A loose element with a role and, when given, a title.
    std::shared_ptr<sim::SimElement> withRole(std::string role, std::optional<std::string> title = {}) {
        auto e = desktop.makeElement(kElementPid, role);
        e->setAttribute("AXRole", Value(role));
        if (title) e->setAttribute("AXTitle", Value(*title));
        return e;
    }
    AXElement handle(const std::shared_ptr<sim::SimElement>& e) { return desktop.handle(e); }
};

class AgentTest : public ::testing::Test, protected SimAgent {};

inline AXResult<Value> answer(Value v) { return AXResult<Value>::success(std::move(v)); }

}  // namespace tarvolin::testing
