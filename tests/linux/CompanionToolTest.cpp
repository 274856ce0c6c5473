#include "LinuxTestSupport.h"
#include "platform/LocalNotificationCenter.h"
#include "platform/linux/FilePasteboard.h"
#include "platform/linux/PlistUserDefaults.h"
#include "platform/plist/LibplistKeyedUnarchiver.h"

#include <nlohmann/json.hpp>

#include <array>
#include <cstdio>

namespace tarvolin {
namespace {

using test::ScopedEnv;
using test::TempDir;

struct ToolResult {
    int code;
    std::string out;
};

// The companion program as a user runs it, with its own private directories.
struct CompanionTool : ::testing::Test {
    TempDir tmp;
    std::filesystem::path runDir = tmp.path() / "run";
    std::filesystem::path configDir = tmp.path() / "config";
    std::optional<ScopedEnv> runtime, config;
    LocalNotificationCenter center;
    test::RecordingLog log;

    void SetUp() override {
        std::filesystem::create_directory(runDir);
        runtime.emplace("XDG_RUNTIME_DIR", runDir.string());
        config.emplace("XDG_CONFIG_HOME", configDir.string());
    }
    ToolResult run(const std::string& args) {
        std::string command = std::string(TARVOLINCTL_PATH) + " " + args + " 2>&1";
        FILE* pipe = ::popen(command.c_str(), "r");
        if (!pipe) return {-1, ""};
        std::string out;
        std::array<char, 4096> buffer;
        while (std::size_t n = std::fread(buffer.data(), 1, buffer.size(), pipe))
            out.append(buffer.data(), n);
        int status = ::pclose(pipe);
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
    }
    std::shared_ptr<FilePasteboard> pasteboard() {
        std::string error;
        pasteboards = FilePasteboardService::open(runDir / "tarvolin", error);
        return std::static_pointer_cast<FilePasteboard>(pasteboards->pasteboardWithName("TarvolinAgentPB"));
    }
    std::shared_ptr<PlistUserDefaults> domain(const char* name) {
        std::string error;
        defaults = PlistUserDefaultsService::open(configDir / "tarvolin", center, log, error);
        return defaults->domain(name);
    }
    std::unique_ptr<FilePasteboardService> pasteboards;
    std::unique_ptr<PlistUserDefaultsService> defaults;
};

TEST_F(CompanionTool, PasteboardCommandsAreTheAgentsJson) {
    struct Case {
        std::string args;
        nlohmann::json expected;
    };
    const std::vector<Case> cases = {
        {"raise 42", {{"cmd", "raise"}, {"winID", 42}}},
        {"raise -- -7", {{"cmd", "raise"}, {"winID", -7}}},
        {"raise 2147483647 --activate 'Text Editor'",
         {{"cmd", "raise"}, {"winID", 2147483647}, {"activate", "Text Editor"}}},
        {"raise 5 --activate ''", {{"cmd", "raise"}, {"winID", 5}, {"activate", ""}}},
        {"close 9", {{"cmd", "close"}, {"winID", 9}}},
        {"quit Editor", {{"cmd", "quit"}, {"winID", "Quit:Editor"}}},
        {"quit 'Text Editor' --file 'Text Editor.app'",
         {{"cmd", "quit"}, {"winID", "Quit:Text Editor|Text Editor.app"}}},
    };
    auto pb = pasteboard();
    for (const auto& c : cases) {
        ToolResult r = run(c.args);
        EXPECT_EQ(r.code, 0) << c.args << ": " << r.out;
        PasteboardRead read = pb->readStrings();
        ASSERT_EQ(read.texts.size(), 1u) << c.args;
        EXPECT_EQ(nlohmann::json::parse(read.texts[0]), c.expected) << c.args;
        pb->clearContents();  // as the agent would
    }
    EXPECT_EQ(run("json 'not json {'").code, 0);
    EXPECT_EQ(pb->readStrings().texts, std::vector<std::string>{"not json {"});
}

TEST_F(CompanionTool, APendingCommandIsNotOverwrittenUnlessForced) {
    auto pb = pasteboard();
    ASSERT_EQ(run("close 1").code, 0);
    ToolResult busy = run("close 2 --wait 20");
    EXPECT_EQ(busy.code, 3) << busy.out;
    EXPECT_NE(busy.out.find("still waiting"), std::string::npos) << busy.out;
    EXPECT_EQ(nlohmann::json::parse(pb->readStrings().texts.at(0))["winID"], 1);
    EXPECT_EQ(run("close 2 --force").code, 0);
    EXPECT_EQ(nlohmann::json::parse(pb->readStrings().texts.at(0))["winID"], 2);
    EXPECT_EQ(run("pasteboard clear").code, 0);
    EXPECT_FALSE(pb->canReadString());
}

TEST_F(CompanionTool, DefaultsCommandsAreTheAgentsSomeText) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"raise 42 --channel defaults", "Raise:42"},
        {"raise 99999999999 --channel defaults", "Raise:99999999999"},
        {"close 7 --channel defaults", "Close:7"},
        {"quit Editor --file Editor.app --channel defaults", "Quit:Editor|Editor.app"},
        {"kill", "kill"},
        {"sometext 'Raise:'", "Raise:"},
    };
    for (const auto& [args, text] : cases) {
        ToolResult r = run(args);
        EXPECT_EQ(r.code, 0) << args << ": " << r.out;
        EXPECT_EQ(domain("org.tarvolin.shared")->objectForKey("SomeText"), Value(text)) << args;
    }
}

TEST_F(CompanionTool, BadArgumentsFailClearlyAndSendNothing) {
    for (const char* args :
         {"", "bogus", "raise", "raise abc", "raise 2147483648", "raise 1 --channel carrier-pigeon",
          "raise 1 --activate X --channel defaults", "quit 'A|B'", "quit A --file 'x|y'",
          "quit 'A:B' --channel defaults", "quit Quit:A", "keys", "keys set", "pasteboard",
          "json x --channel defaults", "watch --count -1"}) {
        ToolResult r = run(args);
        EXPECT_NE(r.code, 0) << args;
        EXPECT_FALSE(r.out.empty()) << args << ": no message";
    }
    EXPECT_FALSE(pasteboard()->canReadString());
    EXPECT_FALSE(domain("org.tarvolin.shared")->objectForKey("SomeText"));
}

// The table is stored as a real keyed archive that the agent's unarchiver reads.
TEST_F(CompanionTool, KeyTableIsAKeyedArchiveInTheAgentsDomain) {
    ASSERT_EQ(run("keys set Editor a b").code, 0);
    ASSERT_EQ(run("keys set Terminal x").code, 0);
    ASSERT_EQ(run("keys set Editor c").code, 0);  // replaces Editor's entry
    auto stored = domain("org.tarvolin.agent")->objectForKey("WinKey");
    ASSERT_TRUE(stored && stored->asData());
    LibplistKeyedUnarchiver unarchiver;
    auto table = unarchiver.unarchiveObjectWithData(*stored->asData());
    ASSERT_TRUE(table);
    auto entry = [](const char* app, std::vector<Value> keys) {
        return Value::dictionary({{"appName", Value(app)}, {"key", Value::array(std::move(keys))}});
    };
    EXPECT_EQ(*table, Value::array({entry("Terminal", {Value("x")}), entry("Editor", {Value("c")})}))
        << table->description();
    ToolResult show = run("keys show");
    EXPECT_EQ(show.out, "Terminal: x\nEditor: c\n");
    ASSERT_EQ(run("keys remove Terminal").code, 0);
    EXPECT_EQ(run("keys show").out, "Editor: c\n");

    domain("org.tarvolin.agent")->setObject("WinKey", Value("not an archive"));
    ToolResult broken = run("keys show");
    EXPECT_EQ(broken.code, 1);
    EXPECT_NE(broken.out.find("not an archive"), std::string::npos) << broken.out;
}

}  // namespace
}  // namespace tarvolin
