#include "platform/ScriptParser.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>

namespace tarvolin {
namespace {

TEST(ScriptParser, AcceptsTheFourScriptsAndRefusesAnythingElseWithAClearError) {
    std::ifstream in(std::string(TARVOLIN_TESTDATA_DIR) + "/scripts.json");
    const auto cases = nlohmann::json::parse(in).at("cases");
    ASSERT_EQ(cases.size(), 24u);
    for (const auto& c : cases) {
        const auto source = c.at("source").get<std::string>();
        const auto parsed = parseScript(source);
        if (c.contains("quit")) {
            EXPECT_EQ(parsed, ParsedScript(QuitApplication{c["quit"].get<std::string>()})) << source;
        } else if (c.contains("activate")) {
            EXPECT_EQ(parsed, ParsedScript(ActivateApplication{c["activate"].get<std::string>()})) << source;
        } else if (c.contains("closeKeystroke")) {
            EXPECT_EQ(parsed, ParsedScript(CloseKeystroke{})) << source;
        } else {
            ASSERT_TRUE(std::holds_alternative<ScriptError>(parsed)) << source;
            EXPECT_FALSE(std::get<ScriptError>(parsed).message.empty()) << source;
        }
    }
    // Only the text given is read, even where more follows in memory.
    const std::string_view cut = std::string_view(R"(tell the application "Fire" to quit)").substr(0, 26);
    const auto parsed = parseScript(cut);
    ASSERT_TRUE(std::holds_alternative<ScriptError>(parsed));
    EXPECT_NE(std::get<ScriptError>(parsed).message.find("unterminated"), std::string::npos);
}

}  // namespace
}  // namespace tarvolin
