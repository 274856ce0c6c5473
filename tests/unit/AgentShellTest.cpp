#include "AgentFixture.h"

namespace tarvolin::testing {
namespace {

const std::vector<std::string> kLaunchSteps = {
    "userDefaults.shared",
    "defaultCenter.addObserver NSUserDefaultsDidChangeNotification",
    "accessibility.isProcessTrusted prompt",
    "workspaceCenter.addObserver NSWorkspaceWillSleepNotification",
    "pasteboard.clear TarvolinAgentPB",
    "runLoop.addTimer 100000000ns repeating",
    "workspace.runningApplicationsWithBundleIdentifier org.tarvolin.agent",
};

// With or without the accessibility permission the launch completes, and going to sleep ends it.
TEST(AgentShell, LaunchRunsEveryStepInOrderAndStartsIdle) {
    for (bool trusted : {true, false}) {
        SimAgent s;
        s.desktop.setTrusted(trusted);
        s.agentPasteboard()->writeItems({{R"({"cmd":"raise","winID":1})"}});
        s.launch();
        EXPECT_EQ(s.desktop.trace(), kLaunchSteps);
        EXPECT_EQ(s.desktop.trustPrompts(), trusted ? 0 : 1);
        EXPECT_EQ(s.agent->isAccessibilityEnabled(), trusted);
        // A command waiting from before the launch is discarded.
        EXPECT_FALSE(s.agentPasteboard()->canReadString());

        EXPECT_EQ(s.desktop.counters().windowListRequests, 0) << "no scan at launch";

        s.desktop.postWillSleep();
        ASSERT_EQ(s.process.terminations().size(), 1u);
        EXPECT_EQ(s.process.terminations().front().sender, s.agent.get());
    }
}

TEST_F(AgentTest, SecondCopyEndsItselfAfterEveryLaunchStepAndFirstIsUntouched) {
    launch();
    const auto firstSteps = desktop.trace().size();
    auto& second = desktop.startProcess(200);
    AppDelegate secondAgent(second.platform());
    second.launch(secondAgent);

    auto expected = kLaunchSteps;
    expected.push_back("application.terminate nil");
    EXPECT_EQ(std::vector<std::string>(desktop.trace().begin() + static_cast<long>(firstSteps),
                                       desktop.trace().end()),
              expected);
    ASSERT_TRUE(second.terminated());
    EXPECT_EQ(second.terminations().front().sender, nullptr);
    EXPECT_FALSE(process.terminated());
    EXPECT_EQ(desktop.runningApplications().size(), 1u);
}

TEST_F(AgentTest, OpenAccessibilityRunsTheSettingsScriptAndIgnoresItsFailure) {
    launch();
    agent->openAccessibility();
    EXPECT_THAT(scriptSources(),
                ElementsAre(::testing::HasSubstr("reveal anchor \"Privacy_Accessibility\"")));
    EXPECT_FALSE(process.terminated());
}

TEST_F(AgentTest, DestructionWithdrawsTheDefaultsObservation) {
    launch();
    agent.reset();
    EXPECT_EQ(desktop.trace().back(), "defaultCenter.removeObserver");
    // Changes, the timer, the sleep observation and delayed work outlive it without touching it.
    someText(Value("kill"));
    desktop.postWillSleep();
    desktop.runFor(1s);
    EXPECT_FALSE(process.terminated());
}

}  // namespace
}  // namespace tarvolin::testing
