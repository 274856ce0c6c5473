// The agent on a private headless GNOME Shell with the agent's extension: Wayland and X clients,
// the session bus and the files, commanded through the companion program as a user would, and
// checked against what the Shell itself reports to the harness's own look into it.
#include "../e2e/MenuTestSupport.h"
#include "platform/AccessibilityNames.h"
#include "platform/LocalNotificationCenter.h"
#include "platform/linux/desktop/ReportedState.h"
#include "platform/linux/gnome/GnomeDesktop.h"
#include "tools/headless/HeadlessGnome.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <regex>

namespace tarvolin::testing {
namespace {

namespace fs = std::filesystem;
using headless::Process;
using nlohmann::json;

class GnomeEndToEnd : public ::testing::Test {
protected:
    void TearDown() override {
        stopAgent(agent.get());
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    // The Shell with the extensions as built (the one for its version loads), or as `change`
    // leaves a copy of their files.
    void startShell(const std::vector<std::string>& disabled = {},
                    const std::function<void(const fs::path& extension)>& change = {}) {
        char pattern[] = "/tmp/tarvolin-gnome-e2e-XXXXXX";
        dir = ::mkdtemp(pattern);
        ::chmod(dir.c_str(), 0755);
        headless::GnomeOptions options;
        options.disabled = disabled;
        for (const auto& built : fs::directory_iterator(TARVOLIN_GNOME_EXTENSIONS)) {
            const fs::path copy = fs::path(dir) / "extensions" / built.path().filename();
            fs::create_directories(copy.parent_path());
            fs::copy(built.path(), copy, fs::copy_options::recursive);
            if (change) change(copy);
            options.extensions.push_back(copy.string());
        }
        std::string error;
        shell = headless::HeadlessGnome::start(error, options);
        ASSERT_TRUE(shell) << error;
        ::mkdir((dir + "/run").c_str(), 0700);
        env = shell->clientEnvironment();
        env.insert(env.end(), {"XDG_RUNTIME_DIR=" + dir + "/run", "XDG_CONFIG_HOME=" + dir + "/config"});
    }

    std::unique_ptr<Process> wayland(std::vector<std::pair<std::string, std::string>> views) {
        std::vector<std::string> argv{TARVOLIN_SAMPLE_WAYLAND};
        for (auto& [app, title] : views) argv.insert(argv.end(), {"--view", app, title});
        auto p = Process::spawn(argv, {env, false, true});
        EXPECT_EQ(p->readLine(10s), "ready");
        return p;
    }
    // The Shell's normal windows, by title, once there are `count` of them.
    std::map<std::string, json> shellWindows(size_t count) {
        std::map<std::string, json> byTitle;
        EXPECT_TRUE(waitFor([&] {
            byTitle.clear();
            for (const json& w : shell->windows()) byTitle[w["title"]] = w;
            return byTitle.size() == count;
        })) << shell->windows().dump();
        return byTitle;
    }
    static std::string number(const json& w) {
        return std::to_string(desktop::windowNumber(w["id"].get<std::string>()));
    }
    json shellWindow(const json& w) {
        for (const json& now : shell->windows())
            if (now["id"] == w["id"]) return now;
        return json();
    }
    json listed() { return json::parse(ctl({"windows", "--json"}, env).out, nullptr, false); }
    std::unique_ptr<Process> watch() {
        auto w = spawnJoined({TARVOLINCTL, "watch"}, env);
        EXPECT_EQ(w->readLine(10s), "tarvolinctl: watching");
        return w;
    }
    void setenvForThisProcess() {
        ::setenv("XDG_RUNTIME_DIR", (dir + "/run").c_str(), 1);
        ::setenv("DBUS_SESSION_BUS_ADDRESS", shell->busAddress().c_str(), 1);
    }

    std::unique_ptr<headless::HeadlessGnome> shell;
    std::unique_ptr<Process> agent;
    std::string dir;
    std::vector<std::string> env;
};

TEST_F(GnomeEndToEnd, TheInventoryIsWhatTheShellShowsWithKeyLabels) {
    ASSERT_NO_FATAL_FAILURE(startShell());
    const std::string longTitle = "first line\nsecond line " + std::string(4000, 'x');
    auto notes = wayland({{"notes", "Note A"}, {"notes", longTitle}});
    auto editor = wayland({{"org.example.editor", "Editor"}});
    auto x = Process::spawn({TARVOLIN_SAMPLE_WINDOWS, "--window", "--title", "X Term", "--class",
                             "xterm:XTerm", "--window", "--type", "dock", "--title", "Dock"},
                            {env, true, true});
    ASSERT_TRUE(x->readLine(20s).value_or("").starts_with("ready"));
    auto shown = shellWindows(4);
    ASSERT_EQ(ctl({"keys", "set", "notes", "n1", "n2"}, env).status, 0);

    const json list = listed();
    ASSERT_TRUE(list.is_array()) << list.dump();
    ASSERT_EQ(list.size(), 4u) << "no dock: " << list.dump();
    std::map<std::string, std::string> keys;
    for (const json& entry : list) {
        const std::string title = entry["title"];
        ASSERT_TRUE(shown.count(title)) << title;
        const json& w = shown[title];
        EXPECT_EQ(std::to_string(entry["winId"].get<std::int64_t>()), number(w)) << title;
        EXPECT_EQ(entry["pid"], w["pid"]) << title;
        // The Shell's application for the window, else its class.
        const std::string app = w["app"];
        EXPECT_EQ(entry["appName"], app.starts_with("window:") ? w["wmClass"].get<std::string>()
                                                               : app.substr(0, app.rfind(".desktop")))
            << title;
        const json& g = w["frame"];
        EXPECT_EQ(entry["x"], g["x"]) << title;
        EXPECT_EQ(entry["y"], g["y"]) << title;
        EXPECT_EQ(entry["width"], g["w"]) << title;
        EXPECT_EQ(entry["height"], g["h"]) << title;
        keys[title] = entry["key"];
    }
    EXPECT_EQ(keys["Editor"], "");
    EXPECT_EQ(keys["X Term"], "");
    // The long title whole, its line break kept, as the Shell shows it.
    ASSERT_TRUE(keys.count(longTitle)) << list.dump();
    EXPECT_EQ(keys["Note A"] + keys[longTitle],
              std::stoll(number(shown["Note A"])) < std::stoll(number(shown[longTitle])) ? "n1n2" : "n2n1");
}

TEST_F(GnomeEndToEnd, RaiseCloseAndQuitActOnTheWindowMeant) {
    ASSERT_NO_FATAL_FAILURE(startShell());
    auto notes = wayland({{"notes", "Note A"}, {"notes", "Note B"}});
    auto editor = wayland({{"org.example.editor", "Editor"}});
    auto shown = shellWindows(3);
    const json a = shown["Note A"], b = shown["Note B"];
    // A on the second workspace, B minimised, the first workspace current.
    ASSERT_EQ(shell->eval("for (const w of global.display.list_all_windows()) {"
                          " if (w.get_title() === 'Note A') w.change_workspace_by_index(1, false);"
                          " if (w.get_title() === 'Note B') w.minimize(); } return 1;"),
              1)
        << shell->lastError();
    ASSERT_TRUE(shell->setActiveWorkspace(0));
    startAgent(env, agent);
    auto watcher = watch();

    ASSERT_EQ(ctl({"raise", number(a), "--activate", "org.example.editor"}, env).status, 0);
    EXPECT_EQ(watcher->readLine(10s), R"(darwin "FinderBack")");
    EXPECT_TRUE(waitFor([&] { return shellWindow(a)["focused"] == true; })) << shellWindow(a).dump();
    EXPECT_EQ(shell->activeWorkspace(), 1);

    ASSERT_EQ(ctl({"raise", number(b), "--channel", "defaults"}, env).status, 0);
    EXPECT_EQ(watcher->readLine(10s), R"(darwin "FinderBack")");
    EXPECT_TRUE(waitFor([&] { return shellWindow(b)["focused"] == true; })) << shellWindow(b).dump();
    EXPECT_EQ(shellWindow(b)["minimized"], false);
    EXPECT_EQ(shell->activeWorkspace(), 0);

    ASSERT_EQ(ctl({"close", number(b)}, env).status, 0);
    EXPECT_EQ(notes->readLine(10s), "close notes Note B");
    ASSERT_EQ(ctl({"quit", "org.example.editor"}, env).status, 0);
    EXPECT_EQ(editor->readLine(10s), "close org.example.editor Editor");
    bool hello = false;
    while (auto line = watcher->readLine(10s))
        if ((hello = *line == R"(distributed "HelloFromProcessOne")")) break;
    EXPECT_TRUE(hello);
    // A number goes with its window: the one closed is refused, not passed on.
    EXPECT_TRUE(waitFor([&] { return shellWindow(b).is_null(); }));
    ctl({"close", number(b)}, env);
    EXPECT_TRUE(waitFor([&] { return ctl({"pasteboard", "show"}, env).out.find('"') == std::string::npos; }));
    EXPECT_FALSE(notes->readLine(300ms)) << "Note A must stay";
    EXPECT_TRUE(shellWindow(a).is_object());
}

// A second agent works at once after the first was killed; the Shell gone ends the agent.
TEST_F(GnomeEndToEnd, TheAgentRestartsAtOnceAndEndsWithTheShell) {
    ASSERT_NO_FATAL_FAILURE(startShell());
    auto notes = wayland({{"notes", "Note A"}, {"notes", "Note B"}});
    auto shown = shellWindows(2);
    startAgent(env, agent);
    ::kill(agent->pid(), SIGKILL);
    agent->wait(10s);
    agent.reset();
    auto again = spawnJoined({TARVOLIN_AGENT}, env);
    ASSERT_EQ(ctl({"json", R"({"cmd":"barrier"})", "--force"}, env).status, 0);
    ASSERT_TRUE(waitFor([&] { return ctl({"pasteboard", "show"}, env).out.find('"') == std::string::npos; }));
    for (const char* title : {"Note A", "Note B"}) {
        ASSERT_EQ(ctl({"raise", number(shown[title])}, env).status, 0);
        EXPECT_TRUE(waitFor([&] { return shellWindow(shown[title])["focused"] == true; })) << title;
    }
    shell->stop();
    auto status = again->wait(10s);
    ASSERT_TRUE(status);
    EXPECT_EQ(Process::exitCode(*status), 1);
    std::string out;
    while (auto line = again->readLine(1s)) out += *line + "\n";
    EXPECT_NE(out.find("lost the connection to the desktop"), std::string::npos) << out;
}

// Where the extension does not answer, the agent says why in the Shell's words and how to
// mend it, and exits 1.
TEST_F(GnomeEndToEnd, AnExtensionThatDoesNotAnswerIsNamedWithTheShellsOwnState) {
    auto replace = [](const fs::path& file, const std::string& from, const std::string& to) {
        std::ifstream in(file);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const auto at = text.find(from);
        ASSERT_NE(at, std::string::npos) << file << " lacks " << from;
        std::ofstream(file) << text.replace(at, from.size(), to);
    };
    const struct {
        const char* what;
        std::vector<std::string> disabled;
        std::function<void(const fs::path&)> change;
        std::vector<std::string> said;
    } cases[] = {
        {"disabled",
         {"tarvolin@tarvolin.org", "tarvolin-legacy@tarvolin.org"},
         {},
         {"not enabled", "Enable it: `gnome-extensions enable tarvolin"}},
        {"failing at enable",
         {},
         [&](const fs::path& e) {
             replace(e / "service.js", "    start() {",
                     "    start() { throw new Error('broken on purpose');");
         },
         {"(ERROR)", "broken on purpose", "journalctl"}},
        {"of another version",
         {},
         [&](const fs::path& e) {
             replace(e / "service.js", "var INTERFACE_VERSION = 1;", "var INTERFACE_VERSION = 99;");
         },
         {"speaks version 99 of its interface"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_NO_FATAL_FAILURE(startShell(c.disabled, c.change));
        const RunResult r = finish(*spawnJoined({TARVOLIN_AGENT}, env), 20s);
        EXPECT_EQ(r.status, 1) << r.out;
        for (const std::string& text : c.said) EXPECT_NE(r.out.find(text), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("GNOME"), std::string::npos) << r.out;
        shell.reset();
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
}

// Through the window's element, in the agent's process: each change as the Shell then shows it.
TEST_F(GnomeEndToEnd, AWindowMovesResizesAndMinimisesThroughItsElement) {
    ASSERT_NO_FATAL_FAILURE(startShell());
    auto notes = wayland({{"notes", "Note A"}});
    const json shown = shellWindows(1)["Note A"];
    setenvForThisProcess();
    LocalNotificationCenter center;
    std::string error;
    auto desktop = GnomeDesktop::connect(center, error);
    ASSERT_TRUE(desktop) << error;
    auto app = desktop->accessibility().createApplication(notes->pid());
    auto windows = ax::copyAttributeValue(app, kAXWindowsAttribute).value.value_or(Value::array({}));
    ASSERT_EQ(windows.asArray()->size(), 1u);
    const AXElement& e = *windows.asArray()->front().asElement();
    EXPECT_EQ(ax::setAttributeValue(e, kAXPositionAttribute, AXValue::point({40, 30})), AXError::success);
    EXPECT_EQ(ax::setAttributeValue(e, kAXSizeAttribute, AXValue::size({200, 100})), AXError::success);
    EXPECT_TRUE(waitFor([&] {
        const json g = shellWindow(shown)["frame"];
        return g["x"] == 40 && g["y"] == 30 && g["w"] == 200 && g["h"] == 100;
    })) << shellWindow(shown).dump();
    EXPECT_EQ(ax::setAttributeValue(e, kAXMinimizedAttribute, Value::boolean(true)), AXError::success);
    EXPECT_EQ(shellWindow(shown)["minimized"], true);
    EXPECT_EQ(ax::setAttributeValue(e, kAXMinimizedAttribute, Value::boolean(false)), AXError::success);
    EXPECT_EQ(shellWindow(shown)["minimized"], false);
    // Quitting within the turn of a look that still shows a window gone since: closed all the same.
    std::vector<std::function<void()>> turnEnd;
    desktop->endTurnsWith([&](std::function<void()> task) { turnEnd.push_back(std::move(task)); });
    ASSERT_EQ(desktop->windows().copyWindowInfo(0, 0)->size(), 1u);
    notes.reset();
    ASSERT_TRUE(waitFor([&] { return shellWindow(shown).is_null(); }));
    desktop->processEvents();  // the run loop has read the Shell's news meanwhile
    const ScriptResult quit = desktop->scripts().executeScript(R"(tell the application "notes" to quit)");
    EXPECT_TRUE(quit.ok) << quit.error;
    // Once the Shell is gone nothing answers from what was last seen.
    shell->stop();
    EXPECT_TRUE(waitFor([&] { return !desktop->processEvents(); }));
    EXPECT_EQ(ax::copyAttributeValue(app, kAXTitleAttribute).error, AXError::cannotComplete);
}

// tarvolinctl switch on GNOME, where no menu program gets the keyboard: the list the extension
// draws in the Shell, typed at with real key events. A label and Enter pick its window; Escape
// sends nothing.
TEST_F(GnomeEndToEnd, TheSwitcherShowsTheShellsOwnListAndATypedLabelRaisesItsWindow) {
    ASSERT_NO_FATAL_FAILURE(startShell());
    std::vector<std::unique_ptr<Process>> clients;
    for (auto [app, title] : kMenuApps) clients.push_back(wayland({{app, title}}));
    auto shown = shellWindows(std::size(kMenuApps));
    ASSERT_NO_FATAL_FAILURE(labelMenuApps(env));
    ASSERT_NO_FATAL_FAILURE(startAgent(env, agent));
    // A menu program on the PATH is not the default here.
    fs::create_directories(dir + "/bin");
    std::ofstream(dir + "/bin/rofi") << "#!/bin/sh\nexit 3\n";
    ::chmod((dir + "/bin/rofi").c_str(), 0755);
    env.insert(env.end(),
               {"PATH=" + dir + "/bin:/usr/bin:/bin", "HOME=" + dir, "XDG_CACHE_HOME=" + dir + "/cache"});
    auto listOpen = [&] {
        return shell->eval(
                   "return imports.ui.main.modalCount > 0 &&"
                   " global.stage.get_key_focus() instanceof imports.gi.Clutter.Text;") == true;
    };
    for (auto [typed, chosen, keys] : {std::tuple{"n1", 0, "49 2"}, {"n10", 1, "49 2 11"}, {"", -1, "1"}}) {
        SCOPED_TRACE(typed);
        auto switcher = spawnJoined({TARVOLINCTL, "switch", "--timeout", "30"}, env);
        bool ready = false;
        for (auto end = std::chrono::steady_clock::now() + 30s;
             !ready && std::chrono::steady_clock::now() < end;)
            ready = listOpen();
        ASSERT_TRUE(ready) << "the list never took the keyboard";
        EXPECT_TRUE(shell->keys(keys)) << shell->lastError();
        if (chosen >= 0) {
            EXPECT_TRUE(shell->keys("28")) << shell->lastError();
        }
        const RunResult r = finish(*switcher, 40s);
        if (chosen < 0) {
            EXPECT_EQ(r.status, 1) << r.out;
            continue;
        }
        EXPECT_EQ(r.status, 0) << r.out;
        const json& want = shown[kMenuApps[chosen].second];
        EXPECT_TRUE(waitFor([&] { return shellWindow(want)["focused"] == true; })) << shell->windows().dump();
    }
}

}  // namespace
}  // namespace tarvolin::testing
