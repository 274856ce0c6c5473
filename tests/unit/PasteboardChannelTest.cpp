#include "CommandChannelFixture.h"

#include "commands/LogText.h"

#include <gmock/gmock.h>

namespace tarvolin::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr auto kActivateScript = R"(tell the application "Terminal" to activate)";

TEST_F(CommandChannelTest, IdlePollOnlyAsksWhetherTextIsReadable) {
    desktop.runFor(1s);
    agentPasteboard()->writeItems({{std::nullopt}});  // an item that holds no text
    desktop.runFor(1s);
    EXPECT_EQ(desktop.counters().pasteboardChecks, 20);
    EXPECT_EQ(desktop.counters().pasteboardReads, 0);
    EXPECT_EQ(desktop.counters().pasteboardClears, 0);
    EXPECT_EQ(scans(), 0);
    EXPECT_THAT(desktop.logTexts(), IsEmpty());
}

TEST_F(CommandChannelTest, TextThatIsNotJsonStaysAndIsLoggedAtEveryPoll) {
    for (std::string text : {"not json", "", R"("a bare string")", "42", "true", "null", "{\"cmd\":\"raise\"",
                             "{\"cmd\":\"\xff\"}"}) {
        desktop.resetCounters();
        const auto before = desktop.logLines().size();
        send(text);
        desktop.runFor(300ms);
        EXPECT_TRUE(agentPasteboard()->canReadString()) << text;
        EXPECT_EQ(desktop.logLines().size() - before, 3u) << text;
        EXPECT_EQ(scans(), 0) << text;
    }
}

TEST_F(CommandChannelTest, CommandsThatAreNoCommandAreConsumedWithOneScan) {
    for (std::string text : {R"({"cmd":"Raise","winID":1})", R"({"cmd":"kill"})", R"({"winID":1})", "{}",
                             "[1,2]", R"({"cmd":5,"winID":1})", R"({"cmd":"raise","winID":null})",
                             R"({"cmd":"quit","winID":7})", R"({"cmd":"raise","winID":[1]})"}) {
        desktop.resetCounters();
        send(text);
        poll();
        EXPECT_FALSE(agentPasteboard()->canReadString()) << text;
        EXPECT_EQ(scans(), 1) << text;
        EXPECT_EQ(desktop.logTexts().back(), loggableList({text})) << text;
        EXPECT_EQ(finderBacks() + hellos() + desktop.scripts().size(), 0u) << text;
        const auto checks = desktop.counters().pasteboardChecks;
        poll();  // and the poll goes on
        EXPECT_EQ(desktop.counters().pasteboardChecks, checks + 1) << text;
    }
}

TEST_F(CommandChannelTest, RaiseWithoutActivationRaisesWithinThePoll) {
    send(R"({"cmd":"raise","winID":2})");
    poll();
    EXPECT_EQ(front(), 2);
    EXPECT_EQ(desktop.frontProcess(), 10);
    ASSERT_EQ(finderBacks(), 1u);
    EXPECT_EQ(desktop.darwinNotifications()[0].name, "FinderBack");
    EXPECT_TRUE(desktop.darwinNotifications()[0].deliverImmediately);
    EXPECT_EQ(desktop.darwinNotifications()[0].time, 100ms);
    EXPECT_EQ(scans(), 1);
    EXPECT_EQ(desktop.logTexts().back(), R"(("{\"cmd\":\"raise\",\"winID\":2}"))");
}

TEST_F(CommandChannelTest, RaiseAfterActivationWaitsHalfASecondFromTheScriptsReturn) {
    desktop.setScriptBehaviour([](std::string_view source, sim::SimDesktop& d) {
        d.advanceClock(200ms);  // a slow script blocks the main thread
        return sim::SimDesktop::defaultScriptBehaviour(source, d);
    });
    for (std::string activate : {"Terminal", "Quit:Terminal", "Quit:TerQuit:minal"}) {
        desktop.resetCounters();
        const auto scriptsBefore = desktop.scripts().size();
        const auto backsBefore = finderBacks();
        send(R"({"cmd":"raise","winID":2,"activate":")" + activate + R"("})");
        poll();
        ASSERT_EQ(desktop.scripts().size(), scriptsBefore + 1) << activate;
        const auto& script = desktop.scripts().back();
        EXPECT_EQ(script.source, kActivateScript);
        EXPECT_EQ(front(), 3);  // activated, not yet raised
        EXPECT_EQ(finderBacks(), backsBefore);
        desktop.runUntil(script.finished + 500ms - 1ns);
        EXPECT_EQ(finderBacks(), backsBefore);
        desktop.runUntil(script.finished + 500ms);
        EXPECT_EQ(finderBacks(), backsBefore + 1);
        EXPECT_EQ(front(), 2);
        EXPECT_EQ(scans(), 1);
    }
}

TEST_F(CommandChannelTest, EmptyActivationStillDelaysTheRaise) {
    send(R"({"cmd":"raise","winID":1,"activate":""})");
    poll();
    EXPECT_THAT(scriptSources(), ElementsAre(R"(tell the application "" to activate)"));
    EXPECT_EQ(finderBacks(), 0u);
    desktop.runFor(500ms);
    EXPECT_EQ(finderBacks(), 1u);
}

TEST_F(CommandChannelTest, TwoDelayedRaisesRunInTheOrderTheyWereScheduled) {
    send(R"({"cmd":"raise","winID":1,"activate":"Terminal"})");
    poll();
    desktop.runFor(200ms);
    send(R"({"cmd":"raise","winID":3,"activate":"Editor"})");
    poll();
    desktop.runFor(200ms);  // the first is due
    EXPECT_EQ(front(), 1);
    desktop.runFor(300ms);
    EXPECT_EQ(front(), 3);
    EXPECT_EQ(finderBacks(), 2u);
}

TEST_F(CommandChannelTest, WindowNumberAsTextActsLikeTheNumber) {
    for (auto [text, expected] : {std::pair{R"({"cmd":"raise","winID":"2"})", 2},
                                  {R"({"cmd":"raise","winID":"  3abc"})", 3},
                                  {R"({"cmd":"raise","winID":2.9})", 2}}) {
        send(text);
        poll();
        EXPECT_EQ(front(), expected) << text;
    }
    send(R"({"cmd":"close","winID":"3"})");
    poll();
    EXPECT_EQ(desktop.window(3), nullptr);
}

TEST_F(CommandChannelTest, WindowNumberOutsideThe32BitRangeMatchesNoWindow) {
    addWindow(10, 5);
    for (std::string id : {"4294967297", "-4294967291", "4294967297.5", "\"4294967301\"", "1e300"}) {
        send(R"({"cmd":"raise","winID":)" + id + "}");
        poll();
        send(R"({"cmd":"close","winID":)" + id + "}");
        poll();
    }
    EXPECT_EQ(finderBacks(), 0u);
    EXPECT_EQ(desktop.windowOrder().size(), 5u);
}

TEST_F(CommandChannelTest, QuitTakesTheNameBeforeTheBarAndTheFileNameAfterTheLast) {
    send(R"({"cmd":"quit","winID":"Quit:Editor|Quit:Editor.app"})");
    poll();
    EXPECT_THAT(scriptSources(), ElementsAre(R"(tell the application "Editor" to quit)"));
    ASSERT_EQ(hellos(), 1u);
    EXPECT_EQ(desktop.distributedNotifications()[0].name, "HelloFromProcessOne");
    EXPECT_EQ(scans(), 2);
    EXPECT_THAT(desktop.windowOrder(), ElementsAre(3, 4));  // both Editor windows went, one script, one post

    send(R"({"cmd":"quit","winID":"Quit:Terminal"})");
    poll();
    EXPECT_EQ(scriptSources().back(), R"(tell the application "Terminal" to quit)");
    EXPECT_EQ(hellos(), 2u);
    const auto& log = desktop.logTexts();
    EXPECT_EQ(log[log.size() - 2], "");  // the empty line after the script, before the command's own
}

TEST_F(CommandChannelTest, QuitOfAnApplicationWithoutWindowsDoesNothing) {
    desktop.addApplication(40, "Hidden");
    send(R"({"cmd":"quit","winID":"Quit:Hidden|Hidden.app"})");
    poll();
    EXPECT_THAT(scriptSources(), IsEmpty());
    EXPECT_EQ(hellos(), 0u);
    EXPECT_EQ(scans(), 2);
    EXPECT_FALSE(agentPasteboard()->canReadString());
}

TEST_F(CommandChannelTest, CloseWithAndWithoutACloseButton) {
    send(R"({"cmd":"close","winID":2})");
    poll();
    EXPECT_EQ(desktop.window(2), nullptr);
    EXPECT_EQ(finderBacks(), 0u);
    EXPECT_EQ(scans(), 2);

    send(R"({"cmd":"close","winID":4})");
    poll();
    EXPECT_EQ(finderBacks(), 1u);  // raised at once
    EXPECT_EQ(desktop.frontProcess(), 30);
    EXPECT_THAT(scriptSources(), IsEmpty());
    desktop.runFor(100ms - 1ns);
    EXPECT_THAT(scriptSources(), IsEmpty());
    desktop.runFor(1ns);
    EXPECT_THAT(scriptSources(),
                ElementsAre(R"(tell the application "System Events" to keystroke"w" using command down)"));
    EXPECT_EQ(desktop.scripts()[0].started, 300ms);
    EXPECT_EQ(desktop.window(4), nullptr);
    EXPECT_EQ(desktop.logTexts().back(), "");
}

TEST_F(CommandChannelTest, OnlyTheFirstOfSeveralTextsIsParsedAndAllAreLogged) {
    agentPasteboard()->writeItems({{R"({"cmd":"raise","winID":3})"}, {std::nullopt}, {"second"}});
    poll();
    EXPECT_EQ(front(), 3);
    EXPECT_EQ(desktop.logTexts().back(), R"(("{\"cmd\":\"raise\",\"winID\":3}", "second"))");
}

TEST_F(CommandChannelTest, CommandWrittenDuringTheScanIsNotLost) {
    bool written = false;
    desktop.onWindowListRequest([&] {
        if (written) return;
        written = true;
        send(R"({"cmd":"raise","winID":3})");  // the companion writes while the scan runs
    });
    send(R"({"cmd":"close","winID":1})");
    poll();
    EXPECT_EQ(desktop.window(1), nullptr);
    EXPECT_TRUE(agentPasteboard()->canReadString());
    poll();
    EXPECT_EQ(front(), 3);
    EXPECT_FALSE(agentPasteboard()->canReadString());
}

TEST_F(CommandChannelTest, ApplicationNamesCannotBreakOutOfTheScript) {
    const std::string tricky = R"(Ed"it\or)";
    desktop.addApplication(50, tricky);
    addWindow(50, 9);
    send(R"({"cmd":"quit","winID":"Quit:Ed\"it\\or|Ed\"it\\or.app"})");
    poll();
    EXPECT_THAT(scriptSources(), ElementsAre(R"(tell the application "Ed\"it\\or" to quit)"));
    EXPECT_EQ(desktop.window(9), nullptr);  // the script reached exactly that application
    EXPECT_NE(desktop.window(1), nullptr);

    send(R"({"cmd":"raise","winID":1,"activate":"x\" to quit\ntell the application \"Editor"})");
    poll();
    EXPECT_EQ(desktop.scripts().back().source,
              "tell the application \"x\\\" to quit\ntell the application \\\"Editor\" to activate");
    EXPECT_FALSE(desktop.scripts().back().result.ok);
    EXPECT_NE(desktop.window(1), nullptr);
}

TEST_F(CommandChannelTest, LoggedTextsAreEscapedAndBounded) {
    send("not json\nforged line\x01");
    poll();
    EXPECT_THAT(desktop.logTexts(), ElementsAre(R"(("not json\nforged line\x01"))"));

    send(std::string(100000, 'x'));
    poll();
    EXPECT_LT(desktop.logTexts().back().size(), 1200u);
    EXPECT_NE(desktop.logTexts().back().find("(100000 bytes)"), std::string::npos);
}

}  // namespace
}  // namespace tarvolin::testing
