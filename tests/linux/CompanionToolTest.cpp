#include "LinuxTestSupport.h"
#include "platform/LocalNotificationCenter.h"
#include "platform/linux/FilePasteboard.h"
#include "platform/linux/PlistUserDefaults.h"

#include <nlohmann/json.hpp>

namespace tarvolin {
namespace {

// The companion program as a user runs it, with its own private directories.
struct CompanionTool : ::testing::Test {
    test::TempDir tmp;
    test::ScopedEnv runtime{"XDG_RUNTIME_DIR", (tmp.path() / "run").string()};
    test::ScopedEnv config{"XDG_CONFIG_HOME", (tmp.path() / "config").string()};
    LocalNotificationCenter center;
    test::RecordingLog log;
    std::string error;
    std::unique_ptr<FilePasteboardService> pasteboards;
    std::unique_ptr<PlistUserDefaultsService> defaults;

    void SetUp() override {
        std::filesystem::create_directory(tmp.path() / "run");
        pasteboards = FilePasteboardService::open(tmp.path() / "run" / "tarvolin", error);
        defaults = PlistUserDefaultsService::open(tmp.path() / "config" / "tarvolin", center, log, error);
        ASSERT_TRUE(pasteboards && defaults) << error;
    }
    std::pair<int, std::string> run(const std::string& args) {
        FILE* pipe = ::popen((TARVOLINCTL_PATH " " + args + " 2>&1").c_str(), "r");
        std::string out;
        char buffer[4096];
        while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
        int status = ::pclose(pipe);
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
    }
    std::shared_ptr<Pasteboard> pasteboard() { return pasteboards->pasteboardWithName("TarvolinAgentPB"); }
    std::optional<Value> someText() { return defaults->sharedUserDefaults()->objectForKey("SomeText"); }
};

TEST_F(CompanionTool, CommandsAreTheAgentsJsonOrSomeTextAndNothingElse) {
    struct Case {
        std::string args;
        std::optional<nlohmann::json> pasteboard;  // neither this nor someText: refused
        std::optional<std::string> someText;
    };
    using J = nlohmann::json;
    const std::vector<Case> cases = {
        {"raise 42", J{{"cmd", "raise"}, {"winID", 42}}, {}},
        {"raise -- -7", J{{"cmd", "raise"}, {"winID", -7}}, {}},
        {"raise 2147483647 --activate 'Text Editor'",
         J{{"cmd", "raise"}, {"winID", 2147483647}, {"activate", "Text Editor"}},
         {}},
        {"raise 5 --activate ''", J{{"cmd", "raise"}, {"winID", 5}, {"activate", ""}}, {}},
        {"close 9", J{{"cmd", "close"}, {"winID", 9}}, {}},
        {"quit 'Text Editor' --file 'Text Editor.app'",
         J{{"cmd", "quit"}, {"winID", "Quit:Text Editor|Text Editor.app"}},
         {}},
        {"json 'not json {'", J("not json {"), {}},
        {"raise 99999999999 --channel defaults", {}, "Raise:99999999999"},
        {"close 7 --channel defaults", {}, "Close:7"},
        {"quit Editor --file Editor.app --channel defaults", {}, "Quit:Editor|Editor.app"},
        {"kill", {}, "kill"},
        {"sometext 'Raise:'", {}, "Raise:"},
    };
    for (const char* bad :
         {"", "bogus", "raise", "raise abc", "raise 2147483648", "raise 1 --channel carrier-pigeon",
          "raise 1 --activate X --channel defaults", "quit 'A|B'", "quit A --file 'x|y'",
          "quit 'A:B' --channel defaults", "quit Quit:A", "keys", "keys set", "pasteboard",
          "json x --channel defaults", "watch --count -1"}) {
        auto [code, out] = run(bad);
        EXPECT_NE(code, 0) << bad;
        EXPECT_FALSE(out.empty()) << bad << ": no message";
        EXPECT_FALSE(pasteboard()->canReadString() || someText()) << bad;
    }
    for (const auto& c : cases) {
        auto [code, out] = run(c.args);
        EXPECT_EQ(code, 0) << c.args << ": " << out;
        auto texts = pasteboard()->readStrings().texts;
        EXPECT_EQ(texts.size(), c.pasteboard ? 1u : 0u) << c.args;
        if (c.pasteboard && !texts.empty()) {
            EXPECT_EQ(c.pasteboard->is_string() ? J(texts[0]) : J::parse(texts[0]), *c.pasteboard) << c.args;
        }
        EXPECT_EQ(someText(), c.someText ? std::optional(Value(*c.someText)) : std::nullopt) << c.args;
        pasteboard()->clearContents();  // as the agent would
        defaults->sharedUserDefaults()->removeObject("SomeText");
    }
    // A command the agent has not taken yet is not overwritten unless forced.
    ASSERT_EQ(run("close 1").first, 0);
    auto [code, out] = run("close 2 --wait 20");
    EXPECT_EQ(code, 3) << out;
    EXPECT_NE(out.find("still waiting"), std::string::npos) << out;
    EXPECT_EQ(pasteboard()->readStrings().texts, std::vector<std::string>{R"({"cmd":"close","winID":1})"});
    EXPECT_EQ(run("close 2 --force").first, 0);
    EXPECT_EQ(pasteboard()->readStrings().texts, std::vector<std::string>{R"({"cmd":"close","winID":2})"});
}

}  // namespace
}  // namespace tarvolin
