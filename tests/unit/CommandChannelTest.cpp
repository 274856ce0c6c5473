#include "AgentFixture.h"

#include "commands/LogText.h"

#include <algorithm>
#include <thread>

namespace tarvolin::testing {
namespace {

using ::testing::Contains;

constexpr auto kQuitEditor = R"(tell the application "Editor" to quit)";
constexpr auto kQuitTerminal = R"(tell the application "Terminal" to quit)";
constexpr auto kKeystroke = R"(tell the application "System Events" to keystroke"w" using command down)";

// One command on a fresh command desktop, through the pasteboard (JSON) or SomeText.
struct Case {
    bool pasteboard;
    std::string text;
    std::int64_t front;  // front window afterwards
    size_t windows;      // windows left
    const char* script;  // the one script run, or none
    size_t hellos, finderBacks;
    std::int64_t scans;  // on the pasteboard, none means the text was not consumed
};

constexpr bool P = true, D = false;
const Case kCases[] = {
    {P, R"({"cmd":"raise","winID":2})", 2, 4, nullptr, 0, 1, 1},
    {P, R"({"cmd":"raise","winID":"2"})", 2, 4, nullptr, 0, 1, 1},
    {P, R"({"cmd":"raise","winID":"  3abc"})", 3, 4, nullptr, 0, 1, 1},
    {P, R"({"cmd":"raise","winID":2.9})", 2, 4, nullptr, 0, 1, 1},
    {P, R"({"cmd":"close","winID":2})", 1, 3, nullptr, 0, 0, 2},
    {P, R"({"cmd":"close","winID":"3"})", 1, 3, nullptr, 0, 0, 2},
    {P, R"({"cmd":"close","winID":4})", 1, 3, kKeystroke, 0, 1, 2},  // no close button: raise, then keystroke
    {P, R"({"cmd":"quit","winID":"Quit:Editor|Quit:Editor.app"})", 3, 2, kQuitEditor, 1, 0, 2},
    {P, R"({"cmd":"quit","winID":"Quit:Terminal"})", 1, 3, kQuitTerminal, 1, 0, 2},
    {P, R"({"cmd":"quit","winID":"Quit:Nobody|Nobody.app"})", 1, 4, nullptr, 0, 0, 2},
    // No command: consumed with one scan.
    {P, R"({"cmd":"Raise","winID":1})", 1, 4, nullptr, 0, 0, 1},
    {P, R"({"cmd":"kill"})", 1, 4, nullptr, 0, 0, 1},
    {P, R"({"winID":1})", 1, 4, nullptr, 0, 0, 1},
    {P, "[1,2]", 1, 4, nullptr, 0, 0, 1},
    {P, R"({"cmd":5,"winID":1})", 1, 4, nullptr, 0, 0, 1},
    {P, R"({"cmd":"raise","winID":null})", 1, 4, nullptr, 0, 0, 1},
    {P, R"({"cmd":"raise","winID":[1]})", 1, 4, nullptr, 0, 0, 1},
    {P, R"({"cmd":"raise","winID":1,"activate":null})", 1, 4, nullptr, 0, 0, 1},
    {P, R"({"cmd":"quit","winID":7})", 1, 4, nullptr, 0, 0, 1},
    // Not JSON (or not an object or list): left on the pasteboard, logged at every poll.
    {P, "not json", 1, 4, nullptr, 0, 0, 0},
    {P, "", 1, 4, nullptr, 0, 0, 0},
    {P, R"("a bare string")", 1, 4, nullptr, 0, 0, 0},
    {P, "42", 1, 4, nullptr, 0, 0, 0},
    {P, "null", 1, 4, nullptr, 0, 0, 0},
    {P, R"({"cmd":"raise")", 1, 4, nullptr, 0, 0, 0},
    {P, "{\"cmd\":\"\xff\"}", 1, 4, nullptr, 0, 0, 0},
    // SomeText is never consumed; a known verb scans once.
    {D, "Raise:2", 2, 4, nullptr, 0, 1, 1},
    {D, "Raise: \t 3", 3, 4, nullptr, 0, 1, 1},
    {D, "Raise:junk:3", 3, 4, nullptr, 0, 1, 1},
    {D, "Raise:3:junk", 1, 4, nullptr, 0, 0, 1},  // the last piece holds no number
    {D, "Raise", 1, 4, nullptr, 0, 0, 1},
    {D, "Raise:99999999999999999999", 1, 4, nullptr, 0, 0, 1},
    {D, "Close:2", 1, 3, nullptr, 0, 0, 1},
    {D, "Close:4", 1, 3, kKeystroke, 0, 1, 1},
    {D, "Quit:Editor|Editor.app", 3, 2, kQuitEditor, 1, 0, 1},
    {D, "Quit:Terminal", 1, 3, kQuitTerminal, 1, 0, 1},
    {D, "Quit:Nobody|Nobody.app", 1, 4, nullptr, 0, 0, 1},
    {D, "raise:2", 1, 4, nullptr, 0, 0, 0},
    {D, "Hello:2", 1, 4, nullptr, 0, 0, 0},
};

TEST(CommandChannels, EveryCommandOfBothChannels) {
    for (const auto& c : kCases) {
        SimAgent s;
        s.commandDesktop();
        if (c.pasteboard)
            s.send(c.text);
        else
            s.someText(Value(c.text));
        s.desktop.runFor(300ms);
        EXPECT_EQ(s.front(), c.front) << c.text;
        EXPECT_EQ(s.desktop.windowOrder().size(), c.windows) << c.text;
        EXPECT_EQ(s.scriptSources(),
                  c.script ? std::vector<std::string>{c.script} : std::vector<std::string>{})
            << c.text;
        EXPECT_EQ(s.hellos(), c.hellos) << c.text;
        EXPECT_EQ(s.finderBacks(), c.finderBacks) << c.text;
        EXPECT_EQ(s.scans(), c.scans) << c.text;
        const auto log = s.desktop.logTexts();
        EXPECT_EQ(std::count(log.begin(), log.end(), ""), c.script ? 1 : 0) << "a script's line: " << c.text;
        if (c.pasteboard) {
            EXPECT_EQ(s.agentPasteboard()->canReadString(), c.scans == 0) << c.text;
            EXPECT_EQ(std::count(log.begin(), log.end(), loggableList({c.text})), c.scans ? 1 : 3) << c.text;
        } else {
            EXPECT_THAT(log, Contains(loggableText(c.text))) << c.text;
            EXPECT_EQ(s.shared()->objectForKey("SomeText"), Value(c.text)) << c.text;
        }
        EXPECT_FALSE(s.process.terminated()) << c.text;
    }
}

// Window numbers are 32-bit: the edges match, anything beyond matches no window.
TEST_F(AgentTest, WindowNumbersAtAndBeyondThe32BitEdges) {
    commandDesktop();
    addWindow(10, 2147483647);
    addWindow(10, -2147483648);
    struct Edge {
        std::string id;
        std::int64_t front;  // 0: nothing raised
    };
    const Edge cases[] = {{"2147483647", 2147483647},
                          {"-2147483648", -2147483648},
                          {"\"2147483647\"", 2147483647},
                          {"\"-2147483648\"", -2147483648},
                          {"2147483647.5", 2147483647},
                          {"4294967297", 0},
                          {"-4294967295", 0},
                          {"4294967297.5", 0},
                          {"\"4294967297\"", 0},
                          {"1e300", 0}};
    for (const auto& c : cases) {
        const auto backs = finderBacks();
        send(R"({"cmd":"raise","winID":)" + c.id + "}");
        poll();
        EXPECT_EQ(finderBacks(), backs + (c.front ? 1 : 0)) << c.id;
        if (c.front) {
            EXPECT_EQ(front(), c.front) << c.id;
        } else {
            send(R"({"cmd":"close","winID":)" + c.id + "}");
            poll();
        }
    }
    EXPECT_EQ(desktop.windowOrder().size(), 6u);
}

TEST_F(AgentTest, IdlePollOnlyAsksWhetherTextIsReadable) {
    commandDesktop();
    desktop.runFor(1s);
    agentPasteboard()->writeItems({{std::nullopt}});  // an item that holds no text
    desktop.runFor(1s);
    EXPECT_EQ(desktop.counters().pasteboardChecks, 20);
    EXPECT_EQ(desktop.counters().pasteboardReads + desktop.counters().pasteboardClears + scans(), 0);
    EXPECT_THAT(desktop.logTexts(), IsEmpty());
}

TEST_F(AgentTest, RaiseAfterActivationWaitsHalfASecondFromTheScriptsReturn) {
    commandDesktop();
    desktop.setScriptBehaviour([](std::string_view source, sim::SimDesktop& d) {
        d.advanceClock(200ms);  // a slow script blocks the main thread
        return sim::SimDesktop::defaultScriptBehaviour(source, d);
    });
    for (auto [activate, app] :
         {std::pair{"Terminal", "Terminal"}, {"Quit:TerQuit:minal", "Terminal"}, {"", ""}}) {
        desktop.resetCounters();
        const auto backs = finderBacks();
        send(R"({"cmd":"raise","winID":2,"activate":")" + std::string(activate) + R"("})");
        poll();
        const auto& script = desktop.scripts().back();
        EXPECT_EQ(script.source, "tell the application \"" + std::string(app) + "\" to activate");
        EXPECT_EQ(finderBacks(), backs);
        desktop.runUntil(script.finished + 500ms - 1ns);
        EXPECT_EQ(finderBacks(), backs);
        desktop.runUntil(script.finished + 500ms);
        EXPECT_EQ(finderBacks(), backs + 1);
        EXPECT_EQ(front(), 2);
        EXPECT_EQ(scans(), 1);
    }
}

TEST_F(AgentTest, TwoDelayedRaisesRunInTheOrderTheyWereScheduled) {
    commandDesktop();
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

TEST_F(AgentTest, CloseKeystrokeFollowsTheRaiseByATenthOfASecond) {
    commandDesktop();
    send(R"({"cmd":"close","winID":4})");
    poll();
    EXPECT_EQ(finderBacks(), 1u);
    EXPECT_EQ(desktop.frontProcess(), 30);
    desktop.runFor(100ms - 1ns);
    EXPECT_THAT(scriptSources(), IsEmpty());
    desktop.runFor(1ns);
    EXPECT_THAT(scriptSources(), ElementsAre(kKeystroke));
    EXPECT_EQ(desktop.window(4), nullptr);
}

TEST_F(AgentTest, CommandWrittenDuringTheScanIsNotLostAndOnlyTheFirstTextIsParsed) {
    commandDesktop();
    bool written = false;
    desktop.onWindowListRequest([&] {
        if (!std::exchange(written, true))
            send(R"({"cmd":"raise","winID":3})");  // the companion writes meanwhile
    });
    agentPasteboard()->writeItems({{R"({"cmd":"close","winID":1})"}, {std::nullopt}, {"second"}});
    poll();
    EXPECT_EQ(desktop.window(1), nullptr);
    EXPECT_EQ(desktop.logTexts().back(), R"(("{\"cmd\":\"close\",\"winID\":1}", "second"))");
    EXPECT_TRUE(agentPasteboard()->canReadString());
    poll();
    EXPECT_EQ(front(), 3);
    EXPECT_FALSE(agentPasteboard()->canReadString());
}

TEST_F(AgentTest, ApplicationNamesCannotBreakOutOfTheScript) {
    commandDesktop();
    desktop.addApplication(50, R"(Ed"it\or)");
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
    EXPECT_NE(desktop.window(1), nullptr);
}

TEST_F(AgentTest, LoggedTextsAreEscapedAndBoundedAtACharacter) {
    commandDesktop();
    send("not json\nforged line\x01");
    poll();
    EXPECT_THAT(desktop.logTexts(), ElementsAre(R"(("not json\nforged line\x01"))"));
    // 1,023 bytes and a two-byte character across the limit: the cut falls before the character.
    send(std::string(1023, 'x') + "\xc3\xa9" + std::string(100000, 'y'));
    poll();
    EXPECT_EQ(desktop.logTexts().back(), "(\"" + std::string(1023, 'x') + "...(101025 bytes)\")");
    someText(Value(std::string(2000, 'z')));
    EXPECT_EQ(desktop.logTexts().back(), std::string(1024, 'z') + "...(2000 bytes)");
}

TEST(CommandChannels, SomeTextKillStopsTheAgentWithOrWithoutAnArgument) {
    for (std::string text : {"kill", "kill:", "kill:now", "kill:a:b"}) {
        SimAgent s;
        s.commandDesktop();
        s.someText(Value(text));
        ASSERT_EQ(s.process.terminations().size(), 1u) << text;
        EXPECT_EQ(s.process.terminations()[0].sender, s.agent.get());
        EXPECT_THAT(s.desktop.logTexts(), IsEmpty()) << text;
        s.desktop.runFor(1s);
        EXPECT_EQ(s.desktop.counters().pasteboardChecks, 0) << "the timer stopped with the process";
    }
}

TEST_F(AgentTest, SomeTextChangesThatHoldNoCommand) {
    commandDesktop();
    someText(Value("Raise:2"));
    shared()->setObject("Other", Value("x"));  // any change to the store runs the command again
    EXPECT_EQ(finderBacks(), 2u);
    const auto lines = desktop.logLines().size();
    shared()->removeObject("SomeText");
    process.standardUserDefaults()->setObject("WinKey", Value::data({}));  // the agent's own store
    EXPECT_EQ(desktop.logLines().size(), lines);
    for (const Value& v : {Value::integer(2), Value::array({Value("Raise:2")}), Value::data({1, 0xab})})
        someText(v);
    EXPECT_EQ(scans(), 2);
    EXPECT_THAT(desktop.logTexts(), Contains(R"((\"Raise:2\"))"));
    EXPECT_EQ(desktop.logTexts().back(), "{length = 2, bytes = 0x01ab}");
}

TEST_F(AgentTest, SomeTextLogsTheValueHeldAfterTheCommand) {
    commandDesktop();
    desktop.setScriptBehaviour([this](std::string_view, sim::SimDesktop&) {
        shared()->setObject("SomeText", Value("changed\nby the companion"));
        return ScriptResult{true, "", ""};
    });
    someText(Value("Quit:Editor"));
    EXPECT_EQ(desktop.logTexts().back(), R"(changed\nby the companion)");
}

TEST_F(AgentTest, SomeTextFromAnotherThreadIsHandledOnTheMainThread) {
    commandDesktop();
    std::thread([this] { someText(Value("Raise:3")); }).join();
    EXPECT_EQ(scans(), 0);
    desktop.runPending();
    EXPECT_EQ(front(), 3);
    EXPECT_EQ(scans(), 1);
}

}  // namespace
}  // namespace tarvolin::testing
