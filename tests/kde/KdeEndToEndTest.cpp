// The agent on a private headless KWin: Wayland and X clients, the session bus and the files,
// commanded through the companion program as a user would, and checked against what KWin
// itself reports to a script of the test's own.
#include "../e2e/CompositorEndToEnd.h"
#include "platform/linux/kde/KWinDesktop.h"
#include "tools/headless/HeadlessKWin.h"

#include <gtest/gtest.h>

namespace tarvolin::testing {
namespace {

using headless::Process;
using nlohmann::json;

class KdeEndToEnd : public CompositorEndToEnd {
protected:
    void SetUp() override {
        makeDir("tarvolin-kde-e2e");
        // KWin, another user here, reads the agent's script from the runtime directory.
        ::mkdir((dir + "/run/tarvolin-kwin").c_str(), 0755);
        ASSERT_NO_FATAL_FAILURE(startKWin());
    }
    void startKWin(headless::KWinOptions options = {}) {
        kwin.reset();
        kwin = startCompositor<headless::HeadlessKWin>(options);
        ASSERT_TRUE(kwin);
    }

    json windows() override {
        json out = json::array();
        for (const json& w : kwin->windows()) {
            if (w["normalWindow"] != true || w["specialWindow"] == true) continue;
            const json& g = w["frameGeometry"];
            const std::string app = w["desktopFileName"];
            out.push_back({{"id", w["internalId"]},
                           {"title", w["caption"]},
                           {"pid", w["pid"]},
                           {"app", app.empty() ? w["resourceClass"] : w["desktopFileName"]},
                           {"frame", {{"x", g["x"]}, {"y", g["y"]}, {"w", g["width"]}, {"h", g["height"]}}},
                           {"minimized", w["minimized"]},
                           {"focused", w["active"]}});
        }
        return out;
    }
    void secondWorkspaceAndMinimised(const json& a, const json& b) override {
        ASSERT_EQ(kwin->runScript("putOnDesktop(windowById('" + a["id"].get<std::string>() +
                                  "'), 2); windowById('" + b["id"].get<std::string>() +
                                  "').minimized = true; setCurrentDesktop(1); return 1;"),
                  1)
            << kwin->lastError();
    }
    int currentWorkspace() override { return kwin->currentDesktop() - 1; }
    std::unique_ptr<DesktopBackend> connect(NotificationCenter& center, std::string& error) override {
        ::setenv("DBUS_SESSION_BUS_ADDRESS", kwin->busAddress().c_str(), 1);
        return KWinDesktop::connect(KWinDesktop::Role::observer, center, error);
    }
    void stopCompositor() override { kwin->stop(); }
    void maximise(const json& w) override {
        ASSERT_EQ(kwin->runScript("windowById('" + w["id"].get<std::string>() +
                                  "').setMaximize(true, true); return 1;"),
                  1)
            << kwin->lastError();
    }

    std::unique_ptr<headless::HeadlessKWin> kwin;
};

TEST_F(KdeEndToEnd, TheInventoryIsWhatKWinShowsWithKeyLabels) { inventoryWithKeyLabels(); }

TEST_F(KdeEndToEnd, RaiseCloseAndQuitActOnTheWindowMeant) { raiseCloseAndQuit(); }

// The agent ended without tidying up leaves its script waiting in KWin: the next one replaces it
// and works at once. KWin gone ends the agent.
TEST_F(KdeEndToEnd, TheAgentRestartsAtOnceAndEndsWithKWin) {
    auto notes = wayland({{"notes", "Note A"}, {"notes", "Note B"}});
    auto byTitle = shown(2);
    startAgent(env, agent);
    ::kill(agent->pid(), SIGKILL);
    agent->wait(10s);
    agent.reset();
    ASSERT_NO_FATAL_FAILURE(startJoinedAgent());
    // A second copy ends itself and leaves the running one's script alone.
    EXPECT_EQ(finish(*spawnJoined({TARVOLIN_AGENT}, env), 20s).status, 0);
    for (const char* title : {"Note A", "Note B"}) ASSERT_NO_FATAL_FAILURE(raised(byTitle[title]));
    kwin->stop();
    const auto [status, out] = agentEnd();
    EXPECT_EQ(status, 1);
    EXPECT_NE(out.find("lost the connection to the desktop"), std::string::npos) << out;
    EXPECT_EQ(out.find("stopped calling"), std::string::npos) << out;
}

// Another program unloading the agent's script leaves it no way to command KWin: the agent finds
// out on the next command, loads its script again and carries that command and the next out.
TEST_F(KdeEndToEnd, ItsScriptUnloadedByAnotherProgramIsLoadedAgain) {
    auto notes = wayland({{"notes", "Note A"}, {"notes", "Note B"}});
    auto byTitle = shown(2);
    startAgent(env, agent);
    ASSERT_TRUE(kwin->unloadScript("tarvolin-agent"));
    for (const char* title : {"Note A", "Note B", "Note A"}) ASSERT_NO_FATAL_FAILURE(raised(byTitle[title]));
}

// Positions are measured from the primary screen's corner. Which one that is KWin 6 tells scripts,
// and KWin 5 only Wayland clients.
TEST_F(KdeEndToEnd, PositionsAreMeasuredFromThePrimaryScreen) {
    headless::KWinOptions two;
    two.outputs = 2;
    ASSERT_NO_FATAL_FAILURE(startKWin(two));
    auto notes = wayland({{"notes", "Note A"}});
    const json a = shown(1)["Note A"];
    auto x = [&] {
        const json list = listed();
        return list.is_array() && list.size() == 1 ? list[0]["x"] : json();
    };
    EXPECT_EQ(x(), a["frame"]["x"]);
    ASSERT_TRUE(kwin->setPrimaryOutput("Virtual-1")) << kwin->lastError();
    EXPECT_TRUE(waitFor([&] { return x() == a["frame"]["x"].get<int>() - 1280; })) << listed().dump();
}

// A window off the task bar when the agent starts is not listed; once it is on it, it is.
TEST_F(KdeEndToEnd, AWindowThatBecomesOrdinaryLaterIsListed) {
    auto notes = wayland({{"notes", "Note A"}, {"notes", "Note B"}});
    auto byTitle = shown(2);
    auto skip = [&](bool skipped) {
        ASSERT_EQ(kwin->runScript("windowById('" + byTitle["Note A"]["id"].get<std::string>() +
                                  "').skipTaskbar = " + (skipped ? "true" : "false") + "; return 1;"),
                  1)
            << kwin->lastError();
    };
    ASSERT_NO_FATAL_FAILURE(skip(true));
    ASSERT_NO_FATAL_FAILURE(startAgent(env, agent));
    ASSERT_NO_FATAL_FAILURE(skip(false));
    ASSERT_NO_FATAL_FAILURE(raised(byTitle["Note A"]));
}

// KWin numbers a new script by the count of those loaded: after one below it is unloaded, the
// agent's script gets the number of another that is still loaded. It runs all the same, for the
// agent and for tarvolinctl.
TEST_F(KdeEndToEnd, ItsScriptRunsWhateverNumberKWinGivesIt) {
    auto notes = wayland({{"notes", "Note A"}, {"notes", "Note B"}});
    auto byTitle = shown(2);
    int round = 0;
    auto collide = [&] {
        const std::string a = "idle-a" + std::to_string(++round), b = "idle-b" + std::to_string(round);
        ASSERT_GE(kwin->loadScript(a, "// idle"), 0) << kwin->lastError();
        const int taken = kwin->loadScript(b, "// idle");
        ASSERT_GE(taken, 0) << kwin->lastError();
        ASSERT_TRUE(kwin->unloadScript(a));
        // The next one loaded gets the number of the one still there.
        ASSERT_EQ(kwin->loadScript("probe", "// idle"), taken);
        ASSERT_TRUE(kwin->unloadScript("probe"));
    };
    ASSERT_NO_FATAL_FAILURE(collide());
    const RunResult listed = ctl({"windows"}, env);
    EXPECT_EQ(listed.status, 0) << listed.out;
    EXPECT_NE(listed.out.find("Note B"), std::string::npos) << listed.out;
    ASSERT_NO_FATAL_FAILURE(collide());
    ASSERT_NO_FATAL_FAILURE(startAgent(env, agent));
    ASSERT_NO_FATAL_FAILURE(raised(byTitle["Note A"]));
}

TEST_F(KdeEndToEnd, AWindowMovesResizesAndMinimisesThroughItsElement) { elementMovesResizesAndMinimises(); }

// tarvolinctl switch on Plasma with the Wayland menu it picks there (before rofi, which would run
// through Xwayland), typed at through KWin's fake input: a label and Enter pick its window.
TEST_F(KdeEndToEnd, TheSwitcherPicksAWaylandMenuAndATypedLabelRaisesItsWindow) {
    if (::access("/usr/bin/bemenu", X_OK) != 0)
        GTEST_SKIP() << "bemenu is not installed (scripts/install-deps does)";
    std::vector<std::unique_ptr<Process>> clients;
    for (auto [app, title] : kMenuApps) clients.push_back(wayland({{app, title}}));
    auto byTitle = shown(std::size(kMenuApps));
    ASSERT_NO_FATAL_FAILURE(labelMenuApps(env));
    ASSERT_NO_FATAL_FAILURE(startAgent(env, agent));
    // bemenu filters at each key before it takes the next: Enter right after the label picks
    // its row (wofi filters a moment later, so only a wait for a time would do there).
    installMenu(dir + "/bin", "bemenu");
    std::ofstream(dir + "/bin/rofi") << "#!/bin/sh\nexit 3\n";
    ::chmod((dir + "/bin/rofi").c_str(), 0755);
    env.insert(env.end(), {"PATH=" + dir + "/bin", "HOME=" + dir, "XDG_CACHE_HOME=" + dir + "/cache"});
    // The menu, a surface off the task bar, takes keys once it is the active window and KWin has
    // shown it (its list read and its entry made).
    auto menu = [&] {
        for (const json& w : kwin->windows())
            if (w["skipTaskbar"] == true && w["active"] == true && w["shown"] == true)
                return w["internalId"].get<std::string>();
        return std::string();
    };
    for (auto [typed, chosen, keys] : {std::tuple{"n1", 0, "49 2"}, {"n10", 1, "49 2 11"}}) {
        SCOPED_TRACE(typed);
        auto switcher = spawnJoined({TARVOLINCTL, "switch", "--timeout", "30"}, env);
        // The switcher lists the windows and draws their icons first: slow under the sanitizers.
        std::string id;
        ASSERT_TRUE(waitFor([&] { return !(id = menu()).empty(); }, 30s))
            << "the menu never took the keyboard";
        // bemenu draws once more after KWin lists it (KWin 5 and 6 alike): a key sent before that
        // frame would be paced by it and the next key could reach bemenu in the same read.
        ASSERT_TRUE(waitFor([&] { return kwin->framesDrawn(id) >= 1; })) << "the menu never drew again";
        // Each key once the menu has drawn the one before: it filters as it draws.
        EXPECT_TRUE(kwin->keys(std::string(keys) + " 28", id)) << kwin->lastError();
        const RunResult r = finish(*switcher, 40s);
        EXPECT_EQ(r.status, 0) << r.out;
        const json& want = byTitle[kMenuApps[chosen].second];
        EXPECT_TRUE(waitFor([&] { return now(want)["focused"] == true; })) << kwin->windows().dump();
        if (chosen == 0) expectMenuRows(dir + "/bin", "bemenu", false);
    }
}

}  // namespace
}  // namespace tarvolin::testing
