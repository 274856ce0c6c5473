// The agent binary on a private desktop: real X server, window manager, session bus
// and files, commanded through the companion program as a user would.
#include "MenuTestSupport.h"
#include "XTestSupport.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>

namespace tarvolin::testing {
namespace {

namespace fs = std::filesystem;

std::string id(xcb_window_t w) { return std::to_string(w); }

class AgentEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        desktop = XvfbDesktop::start({}, error);
        ASSERT_TRUE(desktop) << error;
        std::string pattern = (fs::temp_directory_path() / "tarvolin-e2e-XXXXXX").string();
        ASSERT_TRUE(::mkdtemp(pattern.data()));
        home = pattern;
        ::mkdir((home / "run").c_str(), 0700);
        env = desktop->environment();
        env.insert(env.end(), {"XDG_RUNTIME_DIR=" + (home / "run").string(),
                               "XDG_CONFIG_HOME=" + (home / "config").string()});
    }

    void TearDown() override {
        if (agent && agent->running()) {
            // Still alive, and ends cleanly when asked.
            ::kill(agent->pid(), SIGTERM);
            EXPECT_EQ(exitCode(*agent), 0);
        }
        fs::remove_all(home);
    }

    static int exitCode(Process& p) {
        auto status = p.wait(10s);
        return status ? Process::exitCode(*status) : -1;
    }

    void startAgent() { ASSERT_NO_FATAL_FAILURE(testing::startAgent(env, agent)); }

    // tarvolinctl, or any program, with its stderr joined to its stdout.
    RunResult ctl(std::vector<std::string> args) { return testing::ctl(std::move(args), env); }
    RunResult run(std::vector<std::string> argv) { return finish(*spawnJoined(std::move(argv), env)); }

    TestClient client(const std::vector<std::vector<std::string>>& windows) {
        std::string error;
        auto c = startClient(*desktop, windows, error);
        EXPECT_TRUE(c) << error;
        return c ? std::move(*c) : TestClient{};
    }
    TestClient notes() {  // two windows of Notes
        return client({{"--title", "A", "--class", "notes:Notes", "--geometry", "300x200+10+10"},
                       {"--title", "B", "--class", "notes:Notes", "--geometry", "300x200+60+60"}});
    }

    // Prints the agent's notifications; its "watching" line (on stderr) says it has subscribed.
    std::unique_ptr<Process> watch() {
        auto w = spawnJoined({TARVOLINCTL, "watch"}, env);
        EXPECT_EQ(w->readLine(10s), "tarvolinctl: watching");
        return w;
    }

    std::unique_ptr<XvfbDesktop> desktop;
    fs::path home;
    std::vector<std::string> env;
    std::unique_ptr<Process> agent;
};

// (The close button's own path: X11DesktopTest and SwitchEndToEnd's close action.)
TEST_F(AgentEndToEnd, CloseFallsBackToTheKeystroke) {
    auto stubborn = client({{"--class", "term:Term", "--geometry", "300x200+100+100", "--unclosable"}});
    startAgent();
    auto watcher = watch();
    ASSERT_EQ(ctl({"close", id(stubborn.windows[0])}).status, 0);
    EXPECT_EQ(watcher->readLine(10s), R"(darwin "FinderBack")");  // raised first
    EXPECT_TRUE(waitUntilGone(*desktop, stubborn.windows[0]));
    EXPECT_EQ(stubborn.process->readLine(10s), "keyclosed " + id(stubborn.windows[0]));
}

TEST_F(AgentEndToEnd, CommandsThroughTheSharedDefaultsAndKill) {
    auto n = notes();
    startAgent();
    auto watcher = watch();
    ASSERT_EQ(ctl({"raise", id(n.windows[0]), "--channel", "defaults"}).status, 0);
    EXPECT_TRUE(waitUntilActive(*desktop, n.windows[0]));
    EXPECT_EQ(watcher->readLine(10s), R"(darwin "FinderBack")");
    ASSERT_EQ(ctl({"quit", "Notes", "--channel", "defaults"}).status, 0);
    EXPECT_EQ(watcher->readLine(10s), R"(distributed "HelloFromProcessOne")");
    EXPECT_TRUE(waitUntilGone(*desktop, n.windows[1]));
    ASSERT_EQ(ctl({"kill"}).status, 0);
    EXPECT_EQ(exitCode(*agent), 0);
}

// Copies started together: one keeps running, the others end themselves in the orderly way.
TEST_F(AgentEndToEnd, OnlyOneOfSeveralCopiesKeepsRunning) {
    std::vector<std::unique_ptr<Process>> copies;
    for (int i = 0; i < 4; ++i) copies.push_back(spawnJoined({TARVOLIN_AGENT}, env));
    auto running = [&] {
        return std::count_if(copies.begin(), copies.end(), [](auto& c) { return c->running(); });
    };
    for (int i = 0; i < 1000 && running() > 1; ++i) std::this_thread::sleep_for(10ms);
    ASSERT_EQ(running(), 1);
    for (auto& c : copies) {
        if (c->running())
            agent = std::move(c);
        else
            EXPECT_EQ(exitCode(*c), 0);
    }
}

// Bad arguments are refused with a message and send nothing; a command the agent has not
// taken yet is not overwritten unless forced.
TEST_F(AgentEndToEnd, TheCompanionRefusesBadArgumentsAndKeepsAPendingCommand) {
    for (const char* bad : {"raise abc", "raise 2147483648", "raise 1 --activate X --channel defaults",
                            "quit 'A|B'", "quit A:B --channel defaults", "watch --count -1"}) {
        auto r = run({"sh", "-c", std::string("exec ") + TARVOLINCTL + " " + bad});
        EXPECT_NE(r.status, 0) << bad;
        EXPECT_FALSE(r.out.empty()) << bad << ": no message";
    }
    EXPECT_EQ(ctl({"pasteboard", "show"}).out.find('"'), std::string::npos) << "nothing sent";
    ASSERT_EQ(ctl({"close", "1"}).status, 0);
    EXPECT_EQ(ctl({"close", "2", "--wait", "20"}).status, 3);
    EXPECT_NE(ctl({"pasteboard", "show"}).out.find(R"(\"winID\":1)"), std::string::npos);
    EXPECT_EQ(ctl({"close", "2", "--force"}).status, 0);
    EXPECT_NE(ctl({"pasteboard", "show"}).out.find(R"(\"winID\":2)"), std::string::npos);
}

TEST_F(AgentEndToEnd, AgentEndsWithAFailureWhenTheDisplayGoesAway) {
    startAgent();
    desktop->stopServer();
    EXPECT_NE(exitCode(*agent), 0);
}

TEST_F(AgentEndToEnd, RaiseOfAWindowOnAnotherDesktopSwitchesThereAndBringsItForward) {
    auto n = notes();
    auto& x = desktop->x();
    auto current = [&] { return x.cardinals(x.root(), "_NET_CURRENT_DESKTOP"); };
    ASSERT_EQ(run({"/usr/bin/xdotool", "set_desktop", "1"}).status, 0);  // as a pager does
    ASSERT_TRUE(x.waitFor([&] { return current() == std::vector<std::uint32_t>{1}; }));
    startAgent();
    auto watcher = watch();
    ASSERT_EQ(ctl({"raise", id(n.windows[0])}).status, 0);
    EXPECT_TRUE(waitUntilActive(*desktop, n.windows[0]));
    EXPECT_TRUE(waitUntilFront(*desktop, n.windows[0]));
    EXPECT_EQ(watcher->readLine(10s), R"(darwin "FinderBack")");
    EXPECT_EQ(current(), std::vector<std::uint32_t>{0});
}

// Where a Wayland session's compositor cannot be reached, the agent ends naming what failed,
// the desktops supported and the way out, even beside a working X display: in that session it
// would be Xwayland, which shows only X clients. (The companion's listing: SwayBackendChoice.)
TEST_F(AgentEndToEnd, AnUnreachableWaylandCompositorEndsTheAgentInsteadOfXwayland) {
    const std::string supported =
        "supported desktops: sway (found through $SWAYSOCK), KDE Plasma (found through KWin on the session "
        "bus with $WAYLAND_DISPLAY), GNOME (found through GNOME Shell on the session bus with "
        "$WAYLAND_DISPLAY) and X11";
    const std::vector<std::string> desktopEnv = env;
    for (const auto& [variable, said] : std::vector<std::pair<std::string, std::vector<std::string>>>{
             {"SWAYSOCK=/nonexistent/sway-ipc.sock",
              {"cannot reach sway at /nonexistent", "not falling back to $DISPLAY", supported,
               "unset-environment SWAYSOCK"}},
             {"WAYLAND_DISPLAY=wayland-9",
              {"Wayland desktop at $WAYLAND_DISPLAY (wayland-9) is not one the agent supports", supported,
               "import-environment SWAYSOCK WAYLAND_DISPLAY"}}}) {
        env = desktopEnv;
        env.push_back(variable);
        const RunResult r = run({TARVOLIN_AGENT});
        EXPECT_EQ(r.status, 1) << variable << ": " << r.out;
        for (const std::string& text : said)
            EXPECT_NE(r.out.find(text), std::string::npos) << text << " in " << r.out;
        const RunResult companion = ctl({"windows"});
        EXPECT_EQ(companion.status, 1) << variable << ": " << companion.out;
        EXPECT_NE(companion.out.find(supported), std::string::npos) << companion.out;
    }
}

}  // namespace
}  // namespace tarvolin::testing
