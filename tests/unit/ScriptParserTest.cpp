#include "platform/ScriptParser.h"

#include <gtest/gtest.h>

namespace tarvolin {
namespace {

struct Case {
    const char* source;
    ParsedScript expected;
};

class ScriptParserAccepts : public ::testing::TestWithParam<Case> {};

TEST_P(ScriptParserAccepts, Script) { EXPECT_EQ(parseScript(GetParam().source), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Scripts, ScriptParserAccepts,
    ::testing::Values(
        Case{R"(tell the application "Firefox" to quit)", QuitApplication{"Firefox"}},
        Case{R"(tell the application "Firefox" to activate)", ActivateApplication{"Firefox"}},
        Case{R"(tell the application "System Events" to keystroke"w" using command down)", CloseKeystroke{}},
        // Escapes: a quote and a backslash inside the name.
        Case{R"(tell the application "Say \"Hi\"" to quit)", QuitApplication{"Say \"Hi\""}},
        Case{R"(tell the application "back\\slash" to activate)", ActivateApplication{"back\\slash"}},
        // A name that looks like the rest of a script stays a name.
        Case{R"(tell the application "x\" to quit" to activate)", ActivateApplication{"x\" to quit"}},
        Case{R"(tell the application "" to quit)", QuitApplication{""}},
        Case{"tell the application \"Caf\xc3\xa9\" to quit\n", QuitApplication{"Caf\xc3\xa9"}}));

class ScriptParserRefuses : public ::testing::TestWithParam<const char*> {};

TEST_P(ScriptParserRefuses, WithAClearError) {
    auto parsed = parseScript(GetParam());
    ASSERT_TRUE(std::holds_alternative<ScriptError>(parsed)) << GetParam();
    EXPECT_FALSE(std::get<ScriptError>(parsed).message.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, ScriptParserRefuses,
    ::testing::Values(
        "", "   ", R"(tell application "System Preferences" to reveal anchor "Privacy_Accessibility")",
        R"(tell application "Firefox" to quit)", R"(tell the application "Firefox" to quit now)",
        R"(tell the application "Firefox" to launch)", R"(tell the application Firefox to quit)",
        R"(tell the application "Firefox to quit)", R"(tell the application "Fire\fox" to quit)",
        R"(tell the application "Firefox\" to quit)",
        R"(tell the application "System Events" to keystroke"q" using command down)",
        R"(tell the application "Firefox" to keystroke"w" using command down)",
        R"(tell the application "System Events" to keystroke"w" using option down)",
        R"(do shell script "rm -rf /")"));

}  // namespace
}  // namespace tarvolin

namespace tarvolin {
namespace {

// Arbitrary text, heavy in quotes and backslashes, never crashes and is either one
// of the four scripts or an error with a message.
TEST(ScriptParserArbitraryText, GivesADefinedResult) {
    const std::string alphabet = "\"\\ tellhapiconquvsdkwymw\n\xc3\xa9";
    std::uint32_t state = 12345;
    auto next = [&] { return state = state * 1664525u + 1013904223u; };
    for (int round = 0; round < 20000; ++round) {
        std::string text = round % 2 ? "tell the application \"" : "";
        for (std::uint32_t n = next() % 48; n > 0; --n) text += alphabet[next() % alphabet.size()];
        auto parsed = parseScript(text);
        if (auto* e = std::get_if<ScriptError>(&parsed)) {
            EXPECT_FALSE(e->message.empty()) << text;
        }
    }
}

}  // namespace
}  // namespace tarvolin
