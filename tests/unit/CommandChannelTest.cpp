#include "AgentFixture.h"

#include "commands/LogText.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <fstream>
#include <thread>

namespace tarvolin::testing {
namespace {

using ::testing::Contains;

constexpr auto kKeystroke = R"(tell the application "System Events" to keystroke"w" using command down)";

class CommandTest : public AgentTest {
protected:
    void SetUp() override { commandDesktop(); }
};

// Every command of both channels, from tests/data/commands.json (which says what each field means).
TEST(CommandChannels, EveryCommandOfBothChannels) {
    std::ifstream in(std::string(TARVOLIN_TESTDATA_DIR) + "/commands.json");
    const auto cases = nlohmann::json::parse(in).at("cases");
    EXPECT_EQ(cases.size(), 54u);
    for (const auto& c : cases) {
        const bool pasteboard = c.contains("pasteboard");
        const auto& command = pasteboard ? c["pasteboard"] : c.at("someText");
        const std::string text = command.is_string() ? command.get<std::string>() : command.dump();
        const auto scans = c.value("scans", std::int64_t{0});
        const auto script = c.value("script", std::string());
        SimAgent s;
        s.commandDesktop();
        if (pasteboard)
            s.send(text);
        else
            s.someText(Value(text));
        s.desktop.runFor(300ms);
        EXPECT_EQ(s.front(), c.value("front", std::int64_t{1})) << text;
        EXPECT_EQ(s.desktop.windowOrder().size(), c.value("windows", size_t{6})) << text;
        EXPECT_EQ(s.scriptSources(), script.empty() ? std::vector<std::string>{} : std::vector{script})
            << text;
        EXPECT_EQ(s.desktop.distributedNotifications().size(), c.value("hellos", size_t{0})) << text;
        EXPECT_EQ(s.finderBacks(), c.value("finderBacks", size_t{0})) << text;
        EXPECT_EQ(s.scans(), scans) << text;
        const auto log = s.desktop.logTexts();
        EXPECT_EQ(std::count(log.begin(), log.end(), ""), script.empty() ? 0 : 1)
            << "a script's line: " << text;
        ASSERT_EQ(s.process.terminations().size(), c.value("killed", false) ? 1u : 0u) << text;
        if (s.process.terminated()) {
            EXPECT_EQ(s.process.terminations()[0].sender, s.agent.get());
            EXPECT_THAT(log, IsEmpty()) << text;
            EXPECT_EQ(s.desktop.counters().pasteboardChecks, 0) << "the timer stopped with the process";
        } else if (pasteboard) {
            EXPECT_EQ(s.agentPasteboard()->canReadString(), scans == 0) << text;
            EXPECT_EQ(std::count(log.begin(), log.end(), loggableList({text})), scans ? 1 : 3) << text;
        } else {
            EXPECT_THAT(log, Contains(loggableText(text))) << text;
            EXPECT_EQ(s.shared()->objectForKey("SomeText"), Value(text)) << text;
        }
    }
}

TEST_F(CommandTest, RaiseAfterActivationWaitsHalfASecondFromTheScriptsReturn) {
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
    }
}

TEST_F(CommandTest, CloseKeystrokeFollowsTheRaiseByATenthOfASecond) {
    send(R"({"cmd":"close","winID":4})");
    poll();
    EXPECT_EQ(desktop.frontProcess(), 30);
    desktop.runFor(100ms - 1ns);
    EXPECT_THAT(scriptSources(), IsEmpty());
    desktop.runFor(1ns);
    EXPECT_THAT(scriptSources(), ElementsAre(kKeystroke));
}

TEST_F(CommandTest, CommandWrittenDuringTheScanIsNotLostAndOnlyTheFirstTextIsParsed) {
    bool written = false;
    desktop.onWindowListRequest([&] {
        if (!std::exchange(written, true))
            send(R"({"cmd":"raise","winID":3})");  // the companion writes meanwhile
    });
    agentPasteboard()->writeItems({{R"({"cmd":"close","winID":1})"}, {std::nullopt}, {"second"}});
    poll();
    EXPECT_EQ(desktop.window(1), nullptr);
    EXPECT_EQ(desktop.logTexts().back(), R"(("{\"cmd\":\"close\",\"winID\":1}", "second"))");
    poll();
    EXPECT_EQ(front(), 3);
    EXPECT_FALSE(agentPasteboard()->canReadString());
}

TEST_F(CommandTest, ApplicationNamesCannotBreakOutOfTheScript) {
    desktop.addApplication(50, R"(Ed"it\or)");
    addWindow(50, 9);
    send(R"({"cmd":"quit","winID":"Quit:Ed\"it\\or|Ed\"it\\or.app"})");
    poll();
    EXPECT_THAT(scriptSources(), ElementsAre(R"(tell the application "Ed\"it\\or" to quit)"));
    EXPECT_EQ(desktop.window(9), nullptr);  // the script reached exactly that application
    EXPECT_NE(desktop.window(1), nullptr);
}

TEST_F(CommandTest, LoggedTextsAreEscapedAndBoundedAtACharacter) {
    send("not json\nforged line\x01\xff");
    poll();
    EXPECT_THAT(desktop.logTexts(), ElementsAre(R"(("not json\nforged line\x01)"
                                                "\xff\")"));
    // 1,023 bytes and a two-byte character across the limit: the cut falls before the character.
    send(std::string(1023, 'x') + "\xc3\xa9" + std::string(100000, 'y'));
    poll();
    EXPECT_EQ(desktop.logTexts().back(), "(\"" + std::string(1023, 'x') + "...(101025 bytes)\")");
    someText(Value(std::string(2000, 'z')));
    EXPECT_EQ(desktop.logTexts().back(), std::string(1024, 'z') + "...(2000 bytes)");
    // Four texts of up to 1,024 bytes are logged whole; a fifth is only counted.
    agentPasteboard()->writeItems({{std::string(1024, 'x')}, {"b"}, {"c"}, {"d"}});
    poll();
    EXPECT_EQ(desktop.logTexts().back(), "(\"" + std::string(1024, 'x') + "\", \"b\", \"c\", \"d\")");
    agentPasteboard()->writeItems({{"1"}, {"2"}, {"3"}, {"4"}, {"5"}});
    poll();
    EXPECT_EQ(desktop.logTexts().back(), R"(("1", "2", "3", "4") and 1 more)");
}

TEST_F(CommandTest, SomeTextChangesThatHoldNoCommand) {
    someText(Value("Raise:2"));
    shared()->setObject("Other", Value("x"));  // any change to the store runs the command again
    EXPECT_EQ(finderBacks(), 2u);
    const auto lines = desktop.logLines().size();
    shared()->removeObject("SomeText");
    process.standardUserDefaults()->setObject("WinKey", Value::data({}));  // the agent's own store
    // A change notice that names no store.
    process.platform().notificationCenter.postNotification({NSUserDefaultsDidChangeNotification, {}});
    EXPECT_EQ(desktop.logLines().size(), lines);
    for (const Value& v : {Value::integer(2), Value::array({Value("Raise:2")}), Value::data({1, 0xab})})
        someText(v);
    EXPECT_EQ(scans(), 2);
    EXPECT_THAT(desktop.logTexts(), Contains(R"((\"Raise:2\"))"));
    EXPECT_EQ(desktop.logTexts().back(), "{length = 2, bytes = 0x01ab}");
}

TEST_F(CommandTest, SomeTextFromAnotherThreadIsHandledOnTheMainThread) {
    std::thread([this] { someText(Value("Raise:3")); }).join();
    EXPECT_EQ(scans(), 0);
    desktop.runPending();
    EXPECT_EQ(front(), 3);
    EXPECT_EQ(scans(), 1);
}

}  // namespace
}  // namespace tarvolin::testing
