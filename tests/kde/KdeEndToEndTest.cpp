// The agent on a private headless KWin: Wayland and X clients, the session bus and the files,
// commanded through the companion program as a user would, and checked against what KWin
// itself reports to a script of the test's own.
#include "../e2e/MenuTestSupport.h"
#include "platform/AccessibilityNames.h"
#include "platform/LocalNotificationCenter.h"
#include "platform/linux/kde/KWinDesktop.h"
#include "platform/linux/desktop/ReportedState.h"
#include "tools/headless/HeadlessKWin.h"

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <map>

namespace tarvolin::testing {
namespace {

using headless::Process;
using nlohmann::json;

class KdeEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        kwin = headless::HeadlessKWin::start(error);
        ASSERT_TRUE(kwin) << error;
        char pattern[] = "/tmp/tarvolin-kde-e2e-XXXXXX";
        dir = ::mkdtemp(pattern);
        // KWin, another user here, reads the agent's script from the runtime directory.
        ::chmod(dir.c_str(), 0755);
        ::mkdir((dir + "/run").c_str(), 0755);
        ::mkdir((dir + "/run/tarvolin-kwin").c_str(), 0755);
        env = kwin->clientEnvironment();
        env.insert(env.end(), {"XDG_RUNTIME_DIR=" + dir + "/run", "XDG_CONFIG_HOME=" + dir + "/config"});
    }
    void TearDown() override {
        stopAgent(agent.get());
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    std::unique_ptr<Process> wayland(std::vector<std::pair<std::string, std::string>> views) {
        std::vector<std::string> argv{TARVOLIN_SAMPLE_WAYLAND};
        for (auto& [app, title] : views) argv.insert(argv.end(), {"--view", app, title});
        auto p = Process::spawn(argv, {env, false, true});
        EXPECT_EQ(p->readLine(10s), "ready");
        return p;
    }
    // KWin's ordinary windows, by title, once there are `count` of them.
    std::map<std::string, json> kwinWindows(size_t count) {
        std::map<std::string, json> byTitle;
        EXPECT_TRUE(waitFor([&] {
            byTitle.clear();
            for (const json& w : kwin->windows())
                if (w["normalWindow"] == true && w["specialWindow"] == false) byTitle[w["caption"]] = w;
            return byTitle.size() == count;
        })) << kwin->windows().dump();
        return byTitle;
    }
    static std::string number(const json& w) {
        return std::to_string(desktop::windowNumber(w["internalId"].get<std::string>()));
    }
    json kwinWindow(const json& w) {
        for (const json& now : kwin->windows())
            if (now["internalId"] == w["internalId"]) return now;
        return json();
    }
    json listed() { return json::parse(ctl({"windows", "--json"}, env).out, nullptr, false); }
    std::unique_ptr<Process> watch() {
        auto w = spawnJoined({TARVOLINCTL, "watch"}, env);
        EXPECT_EQ(w->readLine(10s), "tarvolinctl: watching");
        return w;
    }

    std::unique_ptr<headless::HeadlessKWin> kwin;
    std::unique_ptr<Process> agent;
    std::string dir;
    std::vector<std::string> env;
};

TEST_F(KdeEndToEnd, TheInventoryIsWhatKWinShowsWithKeyLabels) {
    const std::string longTitle = "first line\nsecond line " + std::string(4000, 'x');
    auto notes = wayland({{"notes", "Note A"}, {"notes", longTitle}});
    auto editor = wayland({{"org.example.editor", "Editor"}});
    auto x = Process::spawn({TARVOLIN_SAMPLE_WINDOWS, "--window", "--title", "X Term", "--class",
                             "xterm:XTerm", "--window", "--type", "dock", "--title", "Dock"},
                            {env, true, true});
    ASSERT_TRUE(x->readLine(20s).value_or("").starts_with("ready"));
    auto shown = kwinWindows(4);
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
        const std::string app =
            w["desktopFileName"].get<std::string>().empty() ? w["resourceClass"] : w["desktopFileName"];
        EXPECT_EQ(entry["appName"], app) << title;
        const json& g = w["frameGeometry"];
        EXPECT_EQ(entry["x"], g["x"]) << title;
        EXPECT_EQ(entry["y"], g["y"]) << title;
        EXPECT_EQ(entry["width"], g["width"]) << title;
        EXPECT_EQ(entry["height"], g["height"]) << title;
        keys[title] = entry["key"];
    }
    EXPECT_EQ(keys["Editor"], "");
    EXPECT_EQ(keys["X Term"], "");
    // KWin shows the long title on one line, whole: so does the agent.
    const std::string oneLine = "first line second line " + std::string(4000, 'x');
    ASSERT_TRUE(keys.count(oneLine)) << list.dump();
    EXPECT_EQ(keys["Note A"] + keys[oneLine],
              std::stoll(number(shown["Note A"])) < std::stoll(number(shown[oneLine])) ? "n1n2" : "n2n1");
}

TEST_F(KdeEndToEnd, RaiseCloseAndQuitActOnTheWindowMeant) {
    auto notes = wayland({{"notes", "Note A"}, {"notes", "Note B"}});
    auto editor = wayland({{"org.example.editor", "Editor"}});
    auto shown = kwinWindows(3);
    const json a = shown["Note A"], b = shown["Note B"], e = shown["Editor"];
    // A on the second desktop, B minimised, the first desktop current.
    ASSERT_EQ(kwin->runScript("for (const c of workspace.clientList()) {"
                              " if (c.caption === 'Note A') c.desktop = 2;"
                              " if (c.caption === 'Note B') c.minimized = true; }"
                              " workspace.currentDesktop = 1; return 1;"),
              1)
        << kwin->lastError();
    startAgent(env, agent);
    auto watcher = watch();

    ASSERT_EQ(ctl({"raise", number(a), "--activate", "org.example.editor"}, env).status, 0);
    EXPECT_EQ(watcher->readLine(10s), R"(darwin "FinderBack")");
    EXPECT_TRUE(waitFor([&] { return kwinWindow(a)["active"] == true; })) << kwinWindow(a).dump();
    EXPECT_EQ(kwin->currentDesktop(), 2);

    ASSERT_EQ(ctl({"raise", number(b), "--channel", "defaults"}, env).status, 0);
    EXPECT_EQ(watcher->readLine(10s), R"(darwin "FinderBack")");
    EXPECT_TRUE(waitFor([&] { return kwinWindow(b)["active"] == true; })) << kwinWindow(b).dump();
    EXPECT_EQ(kwinWindow(b)["minimized"], false);
    EXPECT_EQ(kwin->currentDesktop(), 1);

    ASSERT_EQ(ctl({"close", number(b)}, env).status, 0);
    EXPECT_EQ(notes->readLine(10s), "close notes Note B");
    ASSERT_EQ(ctl({"quit", "org.example.editor"}, env).status, 0);
    EXPECT_EQ(editor->readLine(10s), "close org.example.editor Editor");
    bool hello = false;
    while (auto line = watcher->readLine(10s))
        if ((hello = *line == R"(distributed "HelloFromProcessOne")")) break;
    EXPECT_TRUE(hello);
    // A number goes with its window: the one closed is refused, not passed on.
    EXPECT_TRUE(waitFor([&] { return kwinWindow(b).is_null(); }));
    ctl({"close", number(b)}, env);
    EXPECT_TRUE(waitFor([&] { return ctl({"pasteboard", "show"}, env).out.find('"') == std::string::npos; }));
    EXPECT_FALSE(notes->readLine(300ms)) << "Note A must stay";
    EXPECT_TRUE(kwinWindow(a).is_object());
}

// The agent ended without tidying up leaves its script waiting in KWin: the next one replaces it
// and works at once. KWin gone ends the agent.
TEST_F(KdeEndToEnd, TheAgentRestartsAtOnceAndEndsWithKWin) {
    auto notes = wayland({{"notes", "Note A"}, {"notes", "Note B"}});
    auto shown = kwinWindows(2);
    startAgent(env, agent);
    ::kill(agent->pid(), SIGKILL);
    agent->wait(10s);
    agent.reset();
    auto again = spawnJoined({TARVOLIN_AGENT}, env);
    // Taken: the agent is up and has acted on all before it.
    ASSERT_EQ(ctl({"json", R"({"cmd":"barrier"})", "--force"}, env).status, 0);
    ASSERT_TRUE(waitFor([&] { return ctl({"pasteboard", "show"}, env).out.find('"') == std::string::npos; }));
    for (const char* title : {"Note A", "Note B"}) {
        ASSERT_EQ(ctl({"raise", number(shown[title])}, env).status, 0);
        EXPECT_TRUE(waitFor([&] { return kwinWindow(shown[title])["active"] == true; })) << title;
    }
    kwin->stop();
    auto status = again->wait(10s);
    ASSERT_TRUE(status);
    EXPECT_EQ(Process::exitCode(*status), 1);
    std::string out;
    while (auto line = again->readLine(1s)) out += *line + "\n";
    EXPECT_NE(out.find("lost the connection to the desktop"), std::string::npos) << out;
}

TEST_F(KdeEndToEnd, AFailingScriptEndsTheAgentAndOnlyKWinMayFeedIt) {
    auto notes = wayland({{"notes", "Note A"}});
    kwinWindows(1);
    const std::string broken = dir + "/broken.js";
    std::ofstream(broken) << "this is not JavaScript (\n";
    ::chmod(broken.c_str(), 0644);
    std::vector<std::string> brokenEnv = env;
    brokenEnv.push_back("TARVOLIN_KWIN_SCRIPT=" + broken);
    const RunResult failed = finish(*spawnJoined({TARVOLIN_AGENT}, brokenEnv), 20s);
    EXPECT_EQ(failed.status, 1) << failed.out;
    EXPECT_NE(failed.out.find("did not call the agent within"), std::string::npos) << failed.out;
    EXPECT_NE(failed.out.find("journalctl"), std::string::npos) << failed.out;

    startAgent(env, agent);
    const std::string before = ctl({"windows"}, env).out;
    // Another program of the session says every window is gone: refused.
    sd_bus* bus = nullptr;
    ASSERT_GE(sd_bus_new(&bus), 0);
    sd_bus_set_address(bus, kwin->busAddress().c_str());
    sd_bus_set_bus_client(bus, 1);
    ASSERT_GE(sd_bus_start(bus), 0);
    int refused = 0;
    char** names = nullptr;
    ASSERT_GE(sd_bus_list_names(bus, &names, nullptr), 0);
    for (char** n = names; n && *n; ++n) {
        sd_bus_creds* creds = nullptr;
        pid_t pid = 0;
        if (**n == ':' && sd_bus_get_name_creds(bus, *n, SD_BUS_CREDS_PID, &creds) >= 0 &&
            sd_bus_creds_get_pid(creds, &pid) >= 0 && pid == agent->pid()) {
            sd_bus_error e{};  // SD_BUS_ERROR_NULL, without its C compound literal
            if (sd_bus_call_method(bus, *n, "/org/tarvolin/KWin", "org.tarvolin.KWin", "Event", &e, nullptr,
                                   "s", R"({"hello":5,"windows":[]})") < 0 &&
                sd_bus_error_has_name(&e, SD_BUS_ERROR_ACCESS_DENIED))
                ++refused;
            sd_bus_error_free(&e);
        }
        sd_bus_creds_unref(creds);
        free(*n);
    }
    free(names);
    sd_bus_flush_close_unref(bus);
    EXPECT_EQ(refused, 1);
    EXPECT_EQ(ctl({"windows"}, env).out, before);
    EXPECT_NE(before.find("Note A"), std::string::npos) << before;
}

// Through the window's element, in the agent's process: each change as KWin then shows it.
TEST_F(KdeEndToEnd, AWindowMovesResizesAndMinimisesThroughItsElement) {
    auto notes = wayland({{"notes", "Note A"}});
    const json shown = kwinWindows(1)["Note A"];
    ::setenv("XDG_RUNTIME_DIR", (dir + "/run").c_str(), 1);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", kwin->busAddress().c_str(), 1);
    LocalNotificationCenter center;
    std::string error;
    auto desktop = KWinDesktop::connect(KWinDesktop::Role::observer, center, error);
    ASSERT_TRUE(desktop) << error;
    auto app = desktop->accessibility().createApplication(notes->pid());
    auto windows = ax::copyAttributeValue(app, kAXWindowsAttribute).value.value_or(Value::array({}));
    ASSERT_EQ(windows.asArray()->size(), 1u);
    const AXElement& e = *windows.asArray()->front().asElement();
    EXPECT_EQ(ax::setAttributeValue(e, kAXPositionAttribute, AXValue::point({40, 30})), AXError::success);
    EXPECT_EQ(ax::setAttributeValue(e, kAXSizeAttribute, AXValue::size({200, 100})), AXError::success);
    EXPECT_TRUE(waitFor([&] {
        const json g = kwinWindow(shown)["frameGeometry"];
        return g["x"] == 40 && g["y"] == 30 && g["width"] == 200 && g["height"] == 100;
    })) << kwinWindow(shown).dump();
    EXPECT_EQ(ax::setAttributeValue(e, kAXMinimizedAttribute, Value::boolean(true)), AXError::success);
    EXPECT_EQ(kwinWindow(shown)["minimized"], true);
    EXPECT_EQ(ax::setAttributeValue(e, kAXMinimizedAttribute, Value::boolean(false)), AXError::success);
    EXPECT_EQ(kwinWindow(shown)["minimized"], false);
    // Quitting within the turn of a look that still shows a window gone since: closed all the same.
    std::vector<std::function<void()>> turnEnd;
    desktop->endTurnsWith([&](std::function<void()> task) { turnEnd.push_back(std::move(task)); });
    ASSERT_EQ(desktop->windows().copyWindowInfo(0, 0)->size(), 1u);
    notes.reset();
    ASSERT_TRUE(waitFor([&] { return kwinWindow(shown).is_null(); }));
    desktop->processEvents();  // the run loop has read KWin's news meanwhile
    const ScriptResult quit = desktop->scripts().executeScript(R"(tell the application "notes" to quit)");
    EXPECT_TRUE(quit.ok) << quit.error;
    // Once KWin is gone nothing answers from what was last seen.
    kwin->stop();
    EXPECT_TRUE(waitFor([&] { return !desktop->processEvents(); }));
    EXPECT_EQ(ax::copyAttributeValue(app, kAXTitleAttribute).error, AXError::cannotComplete);
}

// tarvolinctl switch on Plasma with the menu it picks there (wofi before rofi, which would run
// through Xwayland), typed at through KWin's fake input: a label and Enter pick its window.
TEST_F(KdeEndToEnd, TheSwitcherPicksAWaylandMenuAndATypedLabelRaisesItsWindow) {
    if (::access("/usr/bin/wofi", X_OK) != 0)
        GTEST_SKIP() << "wofi is not installed (scripts/install-deps does)";
    std::vector<std::unique_ptr<Process>> clients;
    for (auto [app, title] : kMenuApps) clients.push_back(wayland({{app, title}}));
    auto shown = kwinWindows(std::size(kMenuApps));
    ASSERT_NO_FATAL_FAILURE(labelMenuApps(env));
    ASSERT_NO_FATAL_FAILURE(startAgent(env, agent));
    installMenu(dir + "/bin", "wofi");
    std::ofstream(dir + "/bin/rofi") << "#!/bin/sh\nexit 3\n";
    ::chmod((dir + "/bin/rofi").c_str(), 0755);
    env.insert(env.end(), {"PATH=" + dir + "/bin", "HOME=" + dir, "XDG_CACHE_HOME=" + dir + "/cache"});
    // The menu, a surface off the task bar, has the keyboard once it is the active window.
    auto menuActive = [&] {
        for (const json& w : kwin->windows())
            if (w["skipTaskbar"] == true && w["active"] == true) return true;
        return false;
    };
    for (auto [typed, chosen, keys] : {std::tuple{"n1", 0, "49 2"}, {"n10", 1, "49 2 11"}}) {
        SCOPED_TRACE(typed);
        auto switcher = spawnJoined({TARVOLINCTL, "switch", "--timeout", "30"}, env);
        // The switcher lists the windows and draws their icons first: slow under the sanitizers.
        bool ready = false;
        for (auto end = std::chrono::steady_clock::now() + 30s;
             !ready && std::chrono::steady_clock::now() < end;)
            ready = menuActive();
        ASSERT_TRUE(ready) << "the menu never took the keyboard";
        std::this_thread::sleep_for(300ms);  // mapped before it draws its first list
        EXPECT_TRUE(kwin->keys(keys)) << kwin->lastError();
        std::this_thread::sleep_for(300ms);  // the typed text filters the list before Enter
        EXPECT_TRUE(kwin->keys("28")) << kwin->lastError();
        const RunResult r = finish(*switcher, 40s);
        EXPECT_EQ(r.status, 0) << r.out;
        const json& want = shown[kMenuApps[chosen].second];
        EXPECT_TRUE(waitFor([&] { return kwinWindow(want)["active"] == true; })) << kwin->windows().dump();
        if (chosen == 0) expectMenuRows(dir + "/bin", "wofi", false);
    }
}

}  // namespace
}  // namespace tarvolin::testing
