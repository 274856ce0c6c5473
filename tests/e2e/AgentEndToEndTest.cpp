// The agent binary on a private desktop: real X server, window manager, session bus
// and files, commanded through the companion program as a user would.
#include "XTestSupport.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <thread>

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

    std::unique_ptr<Process> spawn(std::vector<std::string> argv, bool pipeStdout = false) {
        Process::Options options;
        options.env = env;
        options.pipeStdout = pipeStdout;
        return Process::spawn(argv, options);
    }

    void startAgent() {
        agent = spawn({TARVOLIN_AGENT});
        ASSERT_TRUE(agent);
        barrier();
    }

    struct Result {
        int status;
        std::string out;
    };
    Result ctl(std::vector<std::string> args, bool companion = true) {
        if (companion) args.insert(args.begin(), TARVOLINCTL);
        auto child = spawn(args, true);
        std::string out;
        while (auto line = child->readLine(10s)) out += *line + "\n";
        return {exitCode(*child), out};
    }

    // A command that does nothing, taken: everything sent before it has been acted on.
    void barrier() {
        ASSERT_EQ(ctl({"json", R"({"cmd":"barrier"})", "--force"}).status, 0);
        for (int i = 0; i < 500; ++i) {
            auto r = ctl({"pasteboard", "show"});
            if (r.status == 0 && r.out.find('"') == std::string::npos) return;
            std::this_thread::sleep_for(10ms);
        }
        FAIL() << "the agent did not take a command";
    }

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
    TestClient term() {
        return client({{"--title", "T", "--class", "term:Term", "--geometry", "300x200+100+100"}});
    }

    // Prints the agent's notifications; its "watching" line (on stderr) says it has subscribed.
    std::unique_ptr<Process> watch() {
        auto w = spawn({"sh", "-c", std::string("exec ") + TARVOLINCTL + " watch 2>&1"}, true);
        EXPECT_EQ(w->readLine(10s), "tarvolinctl: watching");
        return w;
    }

    std::unique_ptr<XvfbDesktop> desktop;
    fs::path home;
    std::vector<std::string> env;
    std::unique_ptr<Process> agent;
};

TEST_F(AgentEndToEnd, InventoryMatchesTheRealWindows) {
    auto n = client({{"--title", "Notes A", "--class", "notes:Notes", "--geometry", "300x200+10+10"},
                     {"--title", "", "--class", "notes:Notes", "--geometry", "320x240+60+60"},
                     {"--title", "Palette", "--type", "utility", "--class", "notes:Notes", "--geometry",
                      "100x100+500+10"}});
    client({{"--title", "Dock", "--type", "dock", "--class", "dock:Dock", "--geometry", "1280x30+0+0"},
            {"--title", "Faded", "--opacity", "0.5", "--class", "fade:Fade", "--geometry", "200x200+300+300"},
            {"--title", "Above", "--above", "--class", "fade:Fade", "--geometry", "200x200+400+400"}});
    ASSERT_EQ(ctl({"keys", "set", "Notes", "k0", "k1"}).status, 0);
    auto r = ctl({"windows", "--json"});
    ASSERT_EQ(r.status, 0) << r.out;
    const auto list = nlohmann::json::parse(r.out);

    // The ordinary windows, front first as the X server stacks them, labelled by ascending number.
    std::vector<xcb_window_t> expected, byNumber = n.windows;
    for (xcb_window_t w : stackingFrontFirst(*desktop))
        if (std::count(n.windows.begin(), n.windows.end(), w)) expected.push_back(w);
    std::sort(byNumber.begin(), byNumber.end());
    std::map<xcb_window_t, std::pair<std::string, std::string>> titleAndKey;
    for (int k : {0, 1, 2}) titleAndKey[n.windows[k]].first = std::vector{"Notes A", "", "Palette"}[k];
    for (int k : {0, 1, 2}) titleAndKey[byNumber[k]].second = std::vector{"k0", "k1", ""}[k];
    ASSERT_EQ(list.size(), expected.size()) << list.dump(1);
    for (size_t i = 0; i < expected.size(); ++i) {
        const auto& e = list[i];
        EXPECT_EQ(e["winId"], expected[i]);
        EXPECT_EQ(e["pid"], n.pid());
        EXPECT_EQ(e["appName"], "Notes");
        EXPECT_EQ((std::pair<std::string, std::string>(e["title"], e["key"])), titleAndKey.at(expected[i]));
    }
}

TEST_F(AgentEndToEnd, RaiseMakesTheWindowActiveAndFrontAndPostsFinderBack) {
    auto n = notes();
    auto t = term();
    startAgent();
    auto watcher = watch();
    for (xcb_window_t w : {n.windows[0], t.windows[0], n.windows[1]}) {
        ASSERT_EQ(ctl({"raise", id(w)}).status, 0);
        EXPECT_TRUE(waitUntilActive(*desktop, w)) << w;
        EXPECT_TRUE(waitUntilFront(*desktop, w)) << w;
        EXPECT_EQ(watcher->readLine(10s), R"(darwin "FinderBack")");
    }
}

TEST_F(AgentEndToEnd, ActivateThenRaiseHalfASecondLater) {
    auto n = notes();
    auto t = term();
    startAgent();
    ASSERT_TRUE(waitUntilActive(*desktop, t.windows[0])) << "the newest window has the focus";
    ASSERT_EQ(ctl({"raise", id(t.windows[0]), "--activate", "Notes"}).status, 0);
    EXPECT_TRUE(waitUntilActive(*desktop, n.windows[1])) << "the application's front window";
    const auto activated = std::chrono::steady_clock::now();
    EXPECT_TRUE(waitUntilActive(*desktop, t.windows[0]));
    EXPECT_GE(std::chrono::steady_clock::now() - activated, 400ms);
}

TEST_F(AgentEndToEnd, CloseUsesTheCloseButtonOrFallsBackToTheKeystroke) {
    auto n = notes();
    auto stubborn = client({{"--class", "term:Term", "--geometry", "300x200+100+100", "--unclosable"}});
    startAgent();
    auto watcher = watch();
    ASSERT_EQ(ctl({"close", id(n.windows[0])}).status, 0);
    EXPECT_TRUE(waitUntilGone(*desktop, n.windows[0]));
    EXPECT_EQ(n.process->readLine(10s), "closed " + id(n.windows[0]));

    ASSERT_EQ(ctl({"close", id(stubborn.windows[0])}).status, 0);
    EXPECT_EQ(watcher->readLine(10s), R"(darwin "FinderBack")");  // raised first
    EXPECT_TRUE(waitUntilGone(*desktop, stubborn.windows[0]));
    EXPECT_EQ(stubborn.process->readLine(10s), "keyclosed " + id(stubborn.windows[0]));
}

// Every window it can close politely: one that takes no close request stays.
TEST_F(AgentEndToEnd, QuitClosesEveryWindowOfTheApplicationAndSaysHello) {
    auto n = notes();
    auto t = term();
    auto stubborn = client({{"--class", "notes:Notes", "--unclosable"}});
    startAgent();
    auto watcher = watch();
    ASSERT_EQ(ctl({"quit", "Notes"}).status, 0);
    EXPECT_EQ(watcher->readLine(10s), R"(distributed "HelloFromProcessOne")");
    EXPECT_TRUE(waitUntilGone(*desktop, n.windows[0]));
    EXPECT_TRUE(waitUntilGone(*desktop, n.windows[1]));
    barrier();
    EXPECT_TRUE(desktop->x().managed(t.windows[0]));
    EXPECT_TRUE(desktop->x().managed(stubborn.windows[0]));
}

TEST_F(AgentEndToEnd, CommandsThroughTheSharedDefaultsAndKill) {
    auto n = notes();
    startAgent();
    ASSERT_EQ(ctl({"raise", id(n.windows[0]), "--channel", "defaults"}).status, 0);
    EXPECT_TRUE(waitUntilActive(*desktop, n.windows[0]));
    ASSERT_EQ(ctl({"close", id(n.windows[1]), "--channel", "defaults"}).status, 0);
    EXPECT_TRUE(waitUntilGone(*desktop, n.windows[1]));
    ASSERT_EQ(ctl({"kill"}).status, 0);
    EXPECT_EQ(exitCode(*agent), 0);
}

TEST_F(AgentEndToEnd, OnlyOneOfSeveralCopiesKeepsRunning) {
    std::vector<std::unique_ptr<Process>> copies;
    for (int i = 0; i < 4; ++i) copies.push_back(spawn({TARVOLIN_AGENT}));
    auto running = [&] {
        return std::count_if(copies.begin(), copies.end(), [](auto& c) { return c->running(); });
    };
    for (int i = 0; i < 1000 && running() > 1; ++i) std::this_thread::sleep_for(10ms);
    ASSERT_EQ(running(), 1);
    for (auto& c : copies) {
        if (c->running())
            agent = std::move(c);
        else
            EXPECT_EQ(exitCode(*c), 0) << "an orderly end";
    }
    barrier();  // the survivor serves
    ::kill(agent->pid(), SIGINT);
    EXPECT_EQ(exitCode(*agent), 0) << "SIGINT ends it in the orderly way too";
}

// Bad arguments are refused with a message and send nothing; a command the agent has not
// taken yet is not overwritten unless forced.
TEST_F(AgentEndToEnd, TheCompanionRefusesBadArgumentsAndKeepsAPendingCommand) {
    for (const char* bad : {"raise abc", "raise 2147483648", "raise 1 --activate X --channel defaults",
                            "quit 'A|B'", "quit A:B --channel defaults", "watch --count -1"}) {
        auto r = ctl({"sh", "-c", std::string("exec ") + TARVOLINCTL + " " + bad + " 2>&1"}, false);
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

// A key table a dotfile manager keeps as a link is neither replaced nor emptied.
TEST_F(AgentEndToEnd, TheCompanionDoesNotWriteOverADefaultsFileItRefuses) {
    fs::create_directories(home / "config" / "tarvolin");
    const fs::path link = home / "config" / "tarvolin" / "org.tarvolin.agent.plist", target = home / "keys";
    { std::ofstream(target) << "kept"; }
    fs::create_symlink(target, link);
    auto r = ctl({"sh", "-c", std::string("exec ") + TARVOLINCTL + " keys set Notes k0 2>&1"}, false);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("is not written over: it is a symbolic link"), std::string::npos) << r.out;
    EXPECT_TRUE(fs::is_symlink(link));
    std::ifstream in(target);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "kept");
}

TEST_F(AgentEndToEnd, AgentEndsWithAFailureWhenTheDisplayGoesAway) {
    startAgent();
    desktop->stopServer();
    EXPECT_NE(exitCode(*agent), 0);
}

// Sends a window to desktop `d` the way a pager does, and waits until the window manager has.
void sendToDesktop(XvfbDesktop& desktop, xcb_window_t w, std::uint32_t d) {
    auto& x = desktop.x();
    xcb_client_message_event_t ev{};
    ev.response_type = XCB_CLIENT_MESSAGE;
    ev.format = 32;
    ev.window = w;
    ev.type = x.atom("_NET_WM_DESKTOP");
    ev.data.data32[0] = d;
    ev.data.data32[1] = 2;
    xcb_send_event(x.xcb(), 0, x.root(),
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&ev));
    xcb_flush(x.xcb());
    ASSERT_TRUE(
        x.waitFor([&] { return x.cardinals(w, "_NET_WM_DESKTOP") == std::vector<std::uint32_t>{d}; }));
}

TEST_F(AgentEndToEnd, RaiseOfAWindowOnAnotherDesktopSwitchesThereAndActivatesIt) {
    auto notes = this->notes();
    sendToDesktop(*desktop, notes.windows[0], 1);
    ASSERT_EQ(desktop->x().cardinals(desktop->x().root(), "_NET_CURRENT_DESKTOP"),
              std::vector<std::uint32_t>{0});
    startAgent();
    ASSERT_EQ(ctl({"raise", id(notes.windows[0])}).status, 0);
    EXPECT_TRUE(waitUntilActive(*desktop, notes.windows[0]));
    EXPECT_EQ(desktop->x().cardinals(desktop->x().root(), "_NET_CURRENT_DESKTOP"),
              std::vector<std::uint32_t>{1});
}

TEST_F(AgentEndToEnd, TheCloseKeystrokeReachesOnlyTheWindowOnAnotherDesktop) {
    auto stubborn =
        client({{"--title", "S", "--class", "term:Term", "--geometry", "300x200+100+100", "--unclosable"}});
    sendToDesktop(*desktop, stubborn.windows[0], 1);
    auto bystander = term();  // focused, and closes on the keystroke
    ASSERT_TRUE(waitUntilActive(*desktop, bystander.windows[0]));
    startAgent();
    ASSERT_EQ(ctl({"close", id(stubborn.windows[0])}).status, 0);
    EXPECT_EQ(stubborn.process->readLine(10s), "keyclosed " + id(stubborn.windows[0]));
    barrier();
    EXPECT_TRUE(desktop->x().managed(bystander.windows[0]));
}

// Where a Wayland session's compositor cannot be reached, the agent and the companion's
// listing end naming what failed and the desktops supported, even beside a working X
// display: in that session it would be Xwayland, which shows only X clients.
TEST_F(AgentEndToEnd, AnUnreachableWaylandCompositorEndsTheAgentInsteadOfXwayland) {
    // The socket a sway that has ended leaves behind: nothing listens on it.
    const fs::path stale = home / "sway-ipc.sock";
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", stale.c_str());
        const int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ::close(s);
    }
    const std::string supported = "supported desktops: sway (found through $SWAYSOCK) and X11";
    struct Row {
        std::string variable;
        std::vector<std::string> program;
        std::vector<std::string> said;
    };
    const Row rows[] = {
        {"SWAYSOCK=" + stale.string(),
         {TARVOLIN_AGENT},
         {"cannot reach sway at " + stale.string(), "not falling back to $DISPLAY", supported,
          "unset-environment SWAYSOCK"}},
        {"SWAYSOCK=/nonexistent/sway-ipc.sock",
         {TARVOLIN_AGENT},
         {"cannot reach sway at /nonexistent", supported}},
        {"SWAYSOCK=" + stale.string(), {TARVOLINCTL, "windows"}, {"cannot reach sway at", supported}},
        {"WAYLAND_DISPLAY=wayland-9",
         {TARVOLIN_AGENT},
         {"Wayland desktop at $WAYLAND_DISPLAY (wayland-9) is not one the agent supports", supported,
          "import-environment SWAYSOCK WAYLAND_DISPLAY"}},
    };
    const std::vector<std::string> desktopEnv = env;
    for (const Row& row : rows) {
        const std::string name = row.variable.substr(0, row.variable.find('=') + 1);
        env = desktopEnv;
        std::erase_if(env, [&](const std::string& v) { return v.starts_with(name); });
        env.push_back(row.variable);
        std::vector<std::string> argv{"sh", "-c", "exec \"$0\" \"$@\" 2>&1"};
        argv.insert(argv.end(), row.program.begin(), row.program.end());
        const Result r = ctl(argv, false);
        EXPECT_EQ(r.status, 1) << row.variable << ": " << r.out;
        for (const std::string& text : row.said)
            EXPECT_NE(r.out.find(text), std::string::npos) << text << " in " << r.out;
    }
}

}  // namespace
}  // namespace tarvolin::testing
