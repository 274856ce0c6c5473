#include "platform/ScriptParser.h"

#include <gtest/gtest.h>

namespace tarvolin {
namespace {

const ParsedScript kRefused = ScriptError{};

TEST(ScriptParser, AcceptsTheFourScriptsAndRefusesAnythingElseWithAClearError) {
    struct Case {
        const char* source;
        ParsedScript expected;  // kRefused: an error with a message
    };
    const Case cases[] = {
        {R"(tell the application "Firefox" to quit)", QuitApplication{"Firefox"}},
        {R"(tell the application "Firefox" to activate)", ActivateApplication{"Firefox"}},
        {R"(tell the application "System Events" to keystroke"w" using command down)", CloseKeystroke{}},
        {R"(tell the application "Say \"Hi\"" to quit)", QuitApplication{"Say \"Hi\""}},
        {R"(tell the application "back\\slash" to activate)", ActivateApplication{"back\\slash"}},
        {R"(tell the application "x\" to quit" to activate)", ActivateApplication{"x\" to quit"}},
        {R"(tell the application "" to quit)", QuitApplication{""}},
        {"tell the application \"Caf\xc3\xa9\" to quit\n", QuitApplication{"Caf\xc3\xa9"}},
        {"", kRefused},
        {"   ", kRefused},
        {R"(tell application "System Preferences" to reveal anchor "Privacy_Accessibility")", kRefused},
        {R"(tell application "Firefox" to quit)", kRefused},
        {R"(tell the application "Firefox" to quit now)", kRefused},
        {R"(tell the application "Firefox" to launch)", kRefused},
        {R"(tell the application Firefox to quit)", kRefused},
        {R"(tell "the" application "Firefox" to quit)", kRefused},
        {R"(tell the application "Firefox to quit)", kRefused},
        {R"(tell the application "Fire\fox" to quit)", kRefused},
        {R"(tell the application "Firefox\" to quit)", kRefused},
        {"tell the application \"Firefox\\", kRefused},
        {R"(tell the application "System Events" to keystroke"q" using command down)", kRefused},
        {R"(tell the application "Firefox" to keystroke"w" using command down)", kRefused},
        {R"(tell the application "System Events" to keystroke"w" using option down)", kRefused},
        {R"(do shell script "rm -rf /")", kRefused},
    };
    for (const auto& c : cases) {
        const auto parsed = parseScript(c.source);
        if (std::holds_alternative<ScriptError>(c.expected)) {
            ASSERT_TRUE(std::holds_alternative<ScriptError>(parsed)) << c.source;
            EXPECT_FALSE(std::get<ScriptError>(parsed).message.empty()) << c.source;
        } else {
            EXPECT_EQ(parsed, c.expected) << c.source;
        }
    }
}

// Arbitrary text heavy in quotes and backslashes never crashes and gives a script or an error with a message.
TEST(ScriptParser, ArbitraryTextGivesADefinedResult) {
    const std::string alphabet = "\"\\ tellhapiconquvsdkwymw\n\xc3\xa9";
    std::uint32_t state = 12345;
    auto next = [&] { return state = state * 1664525u + 1013904223u; };
    for (int round = 0; round < 20000; ++round) {
        std::string text = round % 2 ? "tell the application \"" : "";
        for (std::uint32_t n = next() % 48; n > 0; --n) text += alphabet[next() % alphabet.size()];
        const auto parsed = parseScript(text);
        if (auto* e = std::get_if<ScriptError>(&parsed)) {
            EXPECT_FALSE(e->message.empty()) << text;
        }
    }
}

}  // namespace
}  // namespace tarvolin
