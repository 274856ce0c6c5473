#include "CommandChannelFixture.h"

#include "commands/LogText.h"

#include <gmock/gmock.h>

#include <thread>

namespace tarvolin::testing {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(DefaultsChannel, Verbs) {
    struct Case {
        std::string text;
        std::int64_t front;  // front window afterwards
        size_t windows;      // windows left
        size_t scripts, hellos, finderBacks;
        std::int64_t scans;
    };
    const Case cases[] = {
        {"Raise:2", 2, 4, 0, 0, 1, 1},
        {"Raise: \t 3", 3, 4, 0, 0, 1, 1},
        {"Raise:junk:3", 3, 4, 0, 0, 1, 1},
        {"Raise:3:junk", 1, 4, 0, 0, 0, 1},  // the last piece holds no number
        {"Raise", 1, 4, 0, 0, 0, 1},
        {"Raise:", 1, 4, 0, 0, 0, 1},
        {"Raise:99999999999999999999", 1, 4, 0, 0, 0, 1},
        {"Close:2", 1, 3, 0, 0, 0, 1},
        {"Close:4", 1, 3, 1, 0, 1, 1},  // no close button: raise, then the keystroke closes it
        {"Quit:Editor|Editor.app", 3, 2, 1, 1, 0, 1},
        {"Quit:Terminal", 1, 3, 1, 1, 0, 1},
        {"Quit:Nobody|Nobody.app", 1, 4, 0, 0, 0, 1},
        {"raise:2", 1, 4, 0, 0, 0, 0},
        {"Hello:2", 1, 4, 0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        CommandDesktop d;
        d.someText(Value(c.text));
        d.desktop.runFor(200ms);
        EXPECT_EQ(d.front(), c.front) << c.text;
        EXPECT_EQ(d.desktop.windowOrder().size(), c.windows) << c.text;
        EXPECT_EQ(d.desktop.scripts().size(), c.scripts) << c.text;
        EXPECT_EQ(d.hellos(), c.hellos) << c.text;
        EXPECT_EQ(d.finderBacks(), c.finderBacks) << c.text;
        EXPECT_EQ(d.scans(), c.scans) << c.text;
        EXPECT_THAT(d.desktop.logTexts(), Contains(loggableText(c.text))) << c.text;
        EXPECT_FALSE(d.process.terminated()) << c.text;
        EXPECT_EQ(d.shared()->objectForKey("SomeText"), Value(c.text)) << "never consumed";
    }
}

TEST(DefaultsChannel, KillStopsTheAgentWithOrWithoutAnArgument) {
    for (std::string text : {"kill", "kill:", "kill:now", "kill:a:b"}) {
        CommandDesktop d;
        d.someText(Value(text));
        ASSERT_EQ(d.process.terminations().size(), 1u) << text;
        EXPECT_EQ(d.process.terminations()[0].sender, d.agent.get());
        EXPECT_THAT(d.desktop.logTexts(), IsEmpty()) << text;
        d.desktop.runFor(1s);
        EXPECT_EQ(d.desktop.counters().pasteboardChecks, 0) << "the timer stopped with the process";
    }
}

TEST_F(CommandChannelTest, RemovedValueDoesNothingAndLogsNothing) {
    someText(Value("Raise:2"));
    const auto lines = desktop.logLines().size();
    shared()->removeObject("SomeText");
    desktop.runFor(100ms);
    EXPECT_EQ(scans(), 1);
    EXPECT_EQ(desktop.logLines().size(), lines);
}

TEST_F(CommandChannelTest, RepeatedNotificationRunsTheCommandAgain) {
    someText(Value("Raise:2"));
    shared()->setObject("Other", Value("x"));  // any change to the store notifies
    EXPECT_EQ(finderBacks(), 2u);
    EXPECT_EQ(scans(), 2);
}

TEST_F(CommandChannelTest, ValueThatIsNotTextIsNoCommand) {
    for (const Value& v : {Value::integer(2), Value::array({Value("Raise:2")}), Value::data({1, 2})}) {
        someText(v);
        poll();
    }
    EXPECT_EQ(scans(), 0);
    EXPECT_EQ(finderBacks(), 0u);
    EXPECT_EQ(desktop.logTexts().size(), 3u);
    EXPECT_EQ(desktop.counters().pasteboardChecks, 3);  // the poll goes on
}

TEST_F(CommandChannelTest, LoggedValueIsTheOneHeldAfterTheCommandAndIsEscaped) {
    desktop.setScriptBehaviour([this](std::string_view, sim::SimDesktop&) {
        shared()->setObject("SomeText", Value("changed\nby the companion"));
        return ScriptResult{true, "", ""};
    });
    someText(Value("Quit:Editor"));
    EXPECT_EQ(desktop.logTexts().back(), R"(changed\nby the companion)");
}

TEST_F(CommandChannelTest, ChangePostedFromAnotherThreadIsHandledOnTheMainThread) {
    std::thread([this] { someText(Value("Raise:3")); }).join();
    EXPECT_EQ(scans(), 0);
    desktop.runPending();
    EXPECT_EQ(front(), 3);
    EXPECT_EQ(scans(), 1);
}

TEST_F(CommandChannelTest, ChangeOfTheAgentsOwnStoreFindsNoCommand) {
    process.standardUserDefaults()->setObject("WinKey", Value::data({}));
    EXPECT_EQ(scans(), 0);
    EXPECT_THAT(desktop.logTexts(), IsEmpty());
}

}  // namespace
}  // namespace tarvolin::testing
