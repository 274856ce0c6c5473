#include "AgentFixture.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <thread>

namespace tarvolin::testing {
namespace {

using ::testing::ElementsAre;

const std::vector<std::string> kLaunchSteps = {
    "userDefaults.shared",
    "defaultCenter.addObserver NSUserDefaultsDidChangeNotification",
    "accessibility.isProcessTrusted prompt",
    "workspaceCenter.addObserver NSWorkspaceWillSleepNotification",
    "pasteboard.clear TarvolinAgentPB",
    "runLoop.addTimer 100000000ns repeating",
    "workspace.runningApplicationsWithBundleIdentifier org.tarvolin.agent",
};

TEST_F(AgentTest, LaunchRunsEveryStepInOrder) {
    launch();
    EXPECT_EQ(desktop.trace(), kLaunchSteps);
    EXPECT_FALSE(process.terminated());
}

TEST_F(AgentTest, StateBeforeAndRightAfterLaunch) {
    EXPECT_FALSE(agent->windowInfoArray().has_value());
    EXPECT_EQ(agent->tickTimer(), nullptr);

    launch();
    ASSERT_TRUE(agent->windowInfoArray().has_value());
    EXPECT_TRUE(agent->windowInfoArray()->empty());
    EXPECT_FALSE(agent->lastAllWindowInfoArray().has_value());
    EXPECT_FALSE(agent->allShowingWinKey().has_value());
    EXPECT_EQ(agent->command(), "");
    EXPECT_FALSE(agent->hasReplyBlock());
    EXPECT_EQ(agent->window(), nullptr);
    ASSERT_TRUE(agent->userDefaultsController().has_value());
    EXPECT_EQ(agent->userDefaultsController()->defaults,
              desktop.defaultsDomain(sim::SimDesktop::kSharedDomain));
    EXPECT_FALSE(agent->userDefaultsController()->initialValues.has_value());
    ASSERT_NE(agent->tickTimer(), nullptr);
    EXPECT_EQ(agent->tickTimer()->interval, 100ms);
    EXPECT_TRUE(agent->tickTimer()->repeats);
    // No scan at launch.
    EXPECT_EQ(desktop.counters().windowListRequests, 0);
}

TEST_F(AgentTest, SecondCopyEndsItselfAfterEveryLaunchStepAndFirstIsUntouched) {
    launch();
    const auto firstTrace = desktop.trace();

    auto& second = desktop.startProcess(200);
    AppDelegate secondAgent(second.platform());
    agentPasteboard()->writeItems({{R"({"cmd":"raise","winID":1})"}});
    second.launch(secondAgent);

    std::vector<std::string> secondTrace(desktop.trace().begin() + static_cast<long>(firstTrace.size()),
                                         desktop.trace().end());
    auto expected = kLaunchSteps;
    expected.push_back("application.terminate nil");
    EXPECT_EQ(secondTrace, expected);
    ASSERT_TRUE(second.terminated());
    EXPECT_EQ(second.terminations().front().sender, nullptr);
    EXPECT_EQ(second.timersAdded(), 1);
    // The newcomer cleared the pasteboard on its way, discarding the waiting command.
    EXPECT_FALSE(agentPasteboard()->canReadString());

    EXPECT_FALSE(process.terminated());
    EXPECT_EQ(desktop.runningApplications().size(), 1u);
}

TEST_F(AgentTest, CommandWaitingBeforeLaunchIsDiscarded) {
    const auto before = agentPasteboard()->writeItems({{R"({"cmd":"raise","winID":1})"}});
    launch();
    EXPECT_FALSE(agentPasteboard()->canReadString());
    EXPECT_GT(agentPasteboard()->changeCount(), before);
}

TEST_F(AgentTest, WillSleepEndsTheAgentWithTheDelegateAsSender) {
    launch();
    desktop.postWillSleep();
    ASSERT_EQ(process.terminations().size(), 1u);
    EXPECT_EQ(process.terminations().front().sender, agent.get());
}

TEST_F(AgentTest, LaunchWithoutAccessibilityPermissionCompletesWithObserversAndTimer) {
    desktop.setTrusted(false);
    launch();
    EXPECT_EQ(desktop.trustPrompts(), 1);
    EXPECT_EQ(desktop.trace(), kLaunchSteps);
    EXPECT_FALSE(agent->isAccessibilityEnabled());
    desktop.postWillSleep();  // the sleep observer is in place
    EXPECT_TRUE(process.terminated());
}

TEST_F(AgentTest, OpenAccessibilityRunsTheSettingsScriptAndIgnoresItsFailure) {
    launch();
    agent->openAccessibility();
    ASSERT_EQ(desktop.scripts().size(), 1u);
    EXPECT_EQ(desktop.scripts()[0].source,
              "tell application \"System Preferences\" \n"
              " set securityPane to pane id \"com.apple.preference.security\" \n"
              " tell securityPane to reveal anchor \"Privacy_Accessibility\" \n"
              " activate \n"
              " end tell");
    EXPECT_FALSE(desktop.scripts()[0].result.ok);  // no settings application on this desktop
    EXPECT_FALSE(process.terminated());
}

TEST_F(AgentTest, DestructionWithdrawsTheDefaultsObservation) {
    launch();
    agent.reset();
    EXPECT_EQ(desktop.trace().back(), "defaultCenter.removeObserver");
    // A change after the delegate is gone reaches nobody.
    desktop.defaultsDomain(sim::SimDesktop::kSharedDomain)->setObject("SomeText", Value("kill"));
    EXPECT_FALSE(process.terminated());
    // The timer, the sleep observation and delayed work outlive it without touching it.
    desktop.postWillSleep();
    desktop.runFor(1s);
    EXPECT_FALSE(process.terminated());
}

TEST_F(AgentTest, PollTimerFiresEveryTenthOfASecondFromTheFirstPassAfterLaunch) {
    launch();
    // Wrap the timer's task to observe firings without depending on what tick does.
    std::vector<Duration> firings;
    auto original = agent->tickTimer()->task;
    agent->tickTimer()->task = [&] {
        firings.push_back(desktop.now());
        original();
    };
    desktop.runFor(1s);
    ASSERT_EQ(firings.size(), 10u);
    for (size_t i = 0; i < firings.size(); ++i) EXPECT_EQ(firings[i], 100ms * static_cast<int>(i + 1));
}

// ---------------------------------------------------------------- the simulated run loop

TEST(SimRunLoop, DelayedTasksRunInDueOrderAndTimersSkipMissedFirings) {
    sim::SimDesktop desktop;
    auto& p = desktop.startProcess(1);
    auto& loop = p.platform().runLoop;
    std::vector<std::string> ran;
    loop.dispatchAfter(500ms, [&] { ran.push_back("b@" + std::to_string(desktop.now().count() / 1000000)); });
    loop.dispatchAfter(100ms, [&] { ran.push_back("a@" + std::to_string(desktop.now().count() / 1000000)); });
    loop.dispatchAfter(500ms, [&] { ran.push_back("c@" + std::to_string(desktop.now().count() / 1000000)); });
    int firings = 0;
    loop.addTimer(Timer::make(100ms, true, [&] {
        if (++firings == 2) desktop.advanceClock(350ms);  // a blocking call inside a firing
    }));
    desktop.runFor(1s);
    EXPECT_THAT(ran, ElementsAre("a@100", "b@550", "c@550"));
    // Fired at 100, 200 (then blocked until 550), 600, 700, 800, 900, 1000.
    EXPECT_EQ(firings, 7);
}

TEST(SimRunLoop, TasksFromAnotherThreadRunOnTheMainThread) {
    sim::SimDesktop desktop;
    auto& p = desktop.startProcess(1);
    auto& loop = p.platform().runLoop;
    bool onMain = false;
    std::thread([&] {
        EXPECT_FALSE(loop.isMainThread());
        loop.dispatchAsync([&] { onMain = loop.isMainThread(); });
    }).join();
    EXPECT_FALSE(onMain);
    desktop.runPending();
    EXPECT_TRUE(onMain);
}

TEST(SimRunLoop, ATerminatedProcessRunsNothingMore) {
    sim::SimDesktop desktop;
    auto& p = desktop.startProcess(1);
    int firings = 0;
    p.platform().runLoop.addTimer(Timer::make(100ms, true, [&] { ++firings; }));
    desktop.runFor(250ms);
    p.platform().application.terminate(nullptr);
    desktop.runFor(1s);
    EXPECT_EQ(firings, 2);
}

}  // namespace
}  // namespace tarvolin::testing
