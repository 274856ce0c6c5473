// A pasteboard whose clears fail.
#include "AgentFixture.h"

#include <algorithm>

namespace tarvolin::testing {
namespace {

using ::testing::HasSubstr;

class HostileInputTest : public AgentTest {
protected:
    void SetUp() override { commandDesktop(); }
};

TEST(FailingPasteboard, LaunchSurvivesAFailedClearAndNeverRunsTheStaleCommand) {
    SimAgent a;
    a.desktop.addApplication(10, "Editor");
    a.addWindow(10, 1);
    a.agentPasteboard()->writeItems({{R"({"cmd":"raise","winID":1})"}});
    a.desktop.failPasteboardClears(2);  // at launch and at the first poll
    a.launch();
    ASSERT_TRUE(a.agent->tickTimer());
    EXPECT_FALSE(a.process.terminated());
    a.desktop.runFor(200ms);
    EXPECT_EQ(a.desktop.darwinNotifications().size(), 0u);
    EXPECT_FALSE(a.agentPasteboard()->canReadString());
    EXPECT_THAT(a.desktop.logTexts(),
                ::testing::ElementsAre(HasSubstr("cannot clear the pasteboard at launch")));
}

TEST_F(HostileInputTest, AFailedConsumeRunsTheCommandOnceAndIsRetried) {
    for (int failures : {1, 3}) {
        const auto raisedBefore = finderBacks();
        const auto lines = desktop.logTexts().size();
        desktop.failPasteboardClears(failures);
        send(R"({"cmd":"raise","winID":2})");
        for (int i = 0; i < failures + 1; ++i) poll();
        EXPECT_EQ(front(), 2);
        EXPECT_EQ(finderBacks(), raisedBefore + 1) << failures << " failures: run once";
        EXPECT_FALSE(agentPasteboard()->canReadString()) << failures;
        const auto log = desktop.logTexts();
        EXPECT_EQ(
            std::count_if(log.begin() + static_cast<std::ptrdiff_t>(lines), log.end(),
                          [](const std::string& l) { return l.find("cannot clear the pasteboard") == 10; }),
            1)
            << failures;
        send(R"({"cmd":"raise","winID":1})");  // and the next command runs as usual
        poll();
        EXPECT_EQ(front(), 1);
    }
}

}  // namespace
}  // namespace tarvolin::testing
