#pragma once

#include "app/AppDelegate.h"
#include "platform/sim/SimDesktop.h"

#include <gtest/gtest.h>

#include <memory>

namespace tarvolin::testing {

using namespace std::chrono_literals;

// A simulated desktop with one agent process on it, not yet launched.
struct SimAgent {
    sim::SimDesktop desktop;
    sim::SimProcess& process = desktop.startProcess(100);
    std::unique_ptr<AppDelegate> agent = std::make_unique<AppDelegate>(process.platform());

    void launch() { process.launch(*agent); }
    std::shared_ptr<Pasteboard> agentPasteboard() { return desktop.pasteboard(kAgentPasteboardName); }
};

class AgentTest : public ::testing::Test, protected SimAgent {};

}  // namespace tarvolin::testing
