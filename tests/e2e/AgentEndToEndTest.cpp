// The agent binary on a private desktop: real X server, window manager, session bus
// and files, commanded through the companion program as a user would.
#include "XFixture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace tarvolin::testing {
namespace {

namespace fs = std::filesystem;

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "tarvolin-e2e-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

class AgentEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        x = XSession::start(error);
        ASSERT_TRUE(x) << error;
        Child::Options busOptions;
        busOptions.pipeStdout = true;
        bus = Child::spawn({"dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=1"},
                           busOptions);
        ASSERT_TRUE(bus);
        auto address = bus->readLine(10s);
        ASSERT_TRUE(address) << "no session bus";
        ::mkdir((runtime.path() + "/run").c_str(), 0700);
        env = {"DISPLAY=" + x->display(), "DBUS_SESSION_BUS_ADDRESS=" + *address,
               "XDG_RUNTIME_DIR=" + runtime.path() + "/run", "XDG_CONFIG_HOME=" + runtime.path() + "/config"};
    }

    void TearDown() override {
        if (agent && agent->running()) {
            // The agent must still be alive, and end cleanly when asked.
            ::kill(agent->pid(), SIGTERM);
            auto status = agent->wait(10s);
            ASSERT_TRUE(status);
            EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
        }
    }

    void startAgent() {
        Child::Options options;
        options.env = env;
        agent = Child::spawn({TARVOLIN_AGENT}, options);
        ASSERT_TRUE(agent);
        barrier();
    }

    struct Result {
        int status;
        std::string out;
    };
    Result ctl(std::vector<std::string> args) {
        args.insert(args.begin(), TARVOLINCTL);
        Child::Options options;
        options.env = env;
        options.pipeStdout = true;
        auto child = Child::spawn(args, options);
        std::string out;
        while (auto line = child->readLine(10s)) out += *line + "\n";
        auto status = child->wait(10s);
        return {status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1, out};
    }

    bool pasteboardEmpty() {
        auto r = ctl({"pasteboard", "show"});
        return r.status == 0 && r.out.find("\"") == std::string::npos;
    }

    // A command that does nothing, taken: everything sent before it has been acted on.
    void barrier() {
        ASSERT_EQ(ctl({"json", R"({"cmd":"barrier"})", "--force"}).status, 0);
        bool taken = false;
        for (int i = 0; i < 500 && !taken; ++i) {
            taken = pasteboardEmpty();
            if (!taken) std::this_thread::sleep_for(10ms);
        }
        ASSERT_TRUE(taken) << "the agent did not take a command";
    }

    TestClient client(const std::vector<std::string>& args) {
        std::string error;
        auto c = x->startClient(args, error);
        EXPECT_TRUE(c) << error;
        return c ? std::move(*c) : TestClient{};
    }

    // Two windows of an application called Notes, and one of Term.
    TestClient notesClient() {
        return client({"--window", "--title", "A", "--class", "notes:Notes", "--geometry", "300x200+10+10",
                       "--window", "--title", "B", "--class", "notes:Notes", "--geometry", "300x200+60+60"});
    }
    TestClient termClient() {
        return client({"--window", "--title", "T", "--class", "term:Term", "--geometry", "300x200+100+100"});
    }

    std::unique_ptr<Child> watch() {
        Child::Options options;
        options.env = env;
        options.pipeStdout = true;
        // Its "watching" line (on stderr) says it has subscribed.
        auto w = Child::spawn({"sh", "-c", std::string("exec ") + TARVOLINCTL + " watch 2>&1"}, options);
        EXPECT_TRUE(w);
        EXPECT_EQ(w->readLine(10s), "tarvolinctl: watching");
        return w;
    }

    std::unique_ptr<XSession> x;
    std::unique_ptr<Child> bus;
    TempDir runtime;
    std::vector<std::string> env;
    std::unique_ptr<Child> agent;
};

std::string id(xcb_window_t w) { return std::to_string(w); }

TEST_F(AgentEndToEnd, InventoryMatchesTheRealWindows) {
    auto notes =
        client({"--window",      "--title",       "Notes A",     "--class",    "notes:Notes",   "--geometry",
                "300x200+10+10", "--window",      "--title",     "",           "--class",       "notes:Notes",
                "--geometry",    "320x240+60+60", "--window",    "--title",    "Palette",       "--type",
                "utility",       "--class",       "notes:Notes", "--geometry", "100x100+500+10"});
    auto others = client({"--window",    "--title",
                          "Dock",        "--type",
                          "dock",        "--class",
                          "dock:Dock",   "--geometry",
                          "1280x30+0+0", "--window",
                          "--title",     "Faded",
                          "--opacity",   "0.5",
                          "--class",     "fade:Fade",
                          "--geometry",  "200x200+300+300",
                          "--window",    "--title",
                          "Above",       "--above",
                          "--class",     "fade:Fade",
                          "--geometry",  "200x200+400+400"});
    ASSERT_EQ(ctl({"keys", "set", "Notes", "k0", "k1"}).status, 0);
    auto r = ctl({"windows", "--json"});
    ASSERT_EQ(r.status, 0) << r.out;
    const auto list = nlohmann::json::parse(r.out);

    // The ordinary windows, front first, as the X server stacks them.
    std::vector<xcb_window_t> expected;
    for (xcb_window_t w : x->stackingFrontFirst())
        if (w == notes.windows[0] || w == notes.windows[1] || w == notes.windows[2]) expected.push_back(w);
    ASSERT_EQ(list.size(), expected.size()) << list.dump(1);
    for (size_t i = 0; i < expected.size(); ++i) {
        const auto& e = list[i];
        EXPECT_EQ(e["winId"], expected[i]);
        EXPECT_EQ(e["pid"], notes.pid());
        EXPECT_EQ(e["appName"], "Notes");
    }
    auto entry = [&](xcb_window_t w) {
        for (const auto& e : list)
            if (e["winId"] == w) return e;
        return nlohmann::json();
    };
    EXPECT_EQ(entry(notes.windows[0])["title"], "Notes A");
    EXPECT_EQ(entry(notes.windows[1])["title"], "");
    EXPECT_EQ(entry(notes.windows[2])["title"], "Palette");
    // Frame bounds: the client area and the decorations around it.
    const auto a = entry(notes.windows[0]);
    EXPECT_GE(a["width"], 300);
    EXPECT_LE(a["width"], 340);
    EXPECT_GE(a["height"], 200);
    EXPECT_LE(a["height"], 260);
    EXPECT_LE(a["x"], 10);
    EXPECT_LE(a["y"], 10);
    // Labels go by ascending window number.
    std::vector<xcb_window_t> byNumber(notes.windows.begin(), notes.windows.end());
    std::sort(byNumber.begin(), byNumber.end());
    EXPECT_EQ(entry(byNumber[0])["key"], "k0");
    EXPECT_EQ(entry(byNumber[1])["key"], "k1");
    EXPECT_EQ(entry(byNumber[2])["key"], "");
}

TEST_F(AgentEndToEnd, RaiseMakesTheWindowActiveAndFrontAndPostsFinderBack) {
    auto notes = notesClient();
    auto term = termClient();
    startAgent();
    auto watcher = watch();
    for (xcb_window_t w : {notes.windows[0], term.windows[0], notes.windows[1]}) {
        ASSERT_EQ(ctl({"raise", id(w)}).status, 0);
        EXPECT_TRUE(x->waitUntilActive(w)) << w;
        EXPECT_TRUE(x->waitFor([&] { return x->stackingFrontFirst().front() == w; })) << w;
        EXPECT_EQ(watcher->readLine(10s), R"(darwin "FinderBack")");
    }
}

TEST_F(AgentEndToEnd, ActivateThenRaiseHalfASecondLater) {
    auto notes =
        client({"--window", "--title", "A", "--class", "notes:Notes", "--geometry", "300x200+10+10"});
    auto term = termClient();
    startAgent();
    ASSERT_EQ(ctl({"raise", id(notes.windows[0]), "--activate", "Term"}).status, 0);
    EXPECT_TRUE(x->waitUntilActive(term.windows[0]));
    const auto activated = std::chrono::steady_clock::now();
    EXPECT_TRUE(x->waitUntilActive(notes.windows[0]));
    EXPECT_GE(std::chrono::steady_clock::now() - activated, 400ms);
}

TEST_F(AgentEndToEnd, CloseUsesTheCloseButtonOrFallsBackToTheKeystroke) {
    auto closable =
        client({"--window", "--title", "C", "--class", "notes:Notes", "--geometry", "300x200+10+10"});
    auto stubborn = client({"--window", "--title", "S", "--class", "term:Term", "--geometry",
                            "300x200+100+100", "--unclosable"});
    startAgent();
    auto watcher = watch();
    ASSERT_EQ(ctl({"close", id(closable.windows[0])}).status, 0);
    EXPECT_TRUE(x->waitUntilGone(closable.windows[0]));
    EXPECT_EQ(closable.process->readLine(10s), "closed " + id(closable.windows[0]));

    ASSERT_EQ(ctl({"close", id(stubborn.windows[0])}).status, 0);
    EXPECT_EQ(watcher->readLine(10s), R"(darwin "FinderBack")");  // raised first
    EXPECT_TRUE(x->waitUntilGone(stubborn.windows[0]));
    EXPECT_EQ(stubborn.process->readLine(10s), "keyclosed " + id(stubborn.windows[0]));
}

TEST_F(AgentEndToEnd, QuitClosesEveryWindowOfTheApplicationAndSaysHello) {
    auto notes = notesClient();
    auto term = termClient();
    startAgent();
    auto watcher = watch();
    ASSERT_EQ(ctl({"quit", "Notes"}).status, 0);
    EXPECT_EQ(watcher->readLine(10s), R"(distributed "HelloFromProcessOne")");
    EXPECT_TRUE(x->waitUntilGone(notes.windows[0]));
    EXPECT_TRUE(x->waitUntilGone(notes.windows[1]));
    barrier();
    EXPECT_TRUE(x->managed(term.windows[0]));
}

TEST_F(AgentEndToEnd, CommandsThroughTheSharedDefaults) {
    auto notes = notesClient();
    startAgent();
    ASSERT_EQ(ctl({"raise", id(notes.windows[0]), "--channel", "defaults"}).status, 0);
    EXPECT_TRUE(x->waitUntilActive(notes.windows[0]));
    ASSERT_EQ(ctl({"close", id(notes.windows[1]), "--channel", "defaults"}).status, 0);
    EXPECT_TRUE(x->waitUntilGone(notes.windows[1]));
}

TEST_F(AgentEndToEnd, KillStopsTheAgent) {
    startAgent();
    ASSERT_EQ(ctl({"kill"}).status, 0);
    auto status = agent->wait(10s);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
}

TEST_F(AgentEndToEnd, OnlyOneOfSeveralCopiesKeepsRunning) {
    std::vector<std::unique_ptr<Child>> copies;
    Child::Options options;
    options.env = env;
    for (int i = 0; i < 4; ++i) copies.push_back(Child::spawn({TARVOLIN_AGENT}, options));
    auto running = [&] {
        return std::count_if(copies.begin(), copies.end(), [](auto& c) { return c->running(); });
    };
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (running() > 1 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
    ASSERT_EQ(running(), 1);
    for (auto& c : copies) {
        if (c->running()) {
            agent = std::move(c);
            continue;
        }
        auto status = c->wait(0ms);
        EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0);  // an orderly end
    }
    barrier();  // the survivor serves
}

TEST_F(AgentEndToEnd, AgentEndsWithAClearMessageWhenTheDisplayGoesAway) {
    startAgent();
    x->stopServer();
    auto status = agent->wait(10s);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) != 0);
}

// Sends a window to desktop `d` the way a pager does, and waits until the window manager has.
void sendToDesktop(XSession& x, xcb_window_t w, std::uint32_t d) {
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
    auto notes = notesClient();
    sendToDesktop(*x, notes.windows[0], 1);
    ASSERT_EQ(x->cardinals(x->root(), "_NET_CURRENT_DESKTOP"), std::vector<std::uint32_t>{0});
    startAgent();
    ASSERT_EQ(ctl({"raise", id(notes.windows[0])}).status, 0);
    EXPECT_TRUE(x->waitUntilActive(notes.windows[0]));
    EXPECT_EQ(x->cardinals(x->root(), "_NET_CURRENT_DESKTOP"), std::vector<std::uint32_t>{1});
}

TEST_F(AgentEndToEnd, TheCloseKeystrokeReachesOnlyTheWindowOnAnotherDesktop) {
    auto stubborn = client({"--window", "--title", "S", "--class", "term:Term", "--geometry",
                            "300x200+100+100", "--unclosable"});
    sendToDesktop(*x, stubborn.windows[0], 1);
    auto bystander = termClient();  // focused, and closes on the keystroke
    ASSERT_TRUE(x->waitUntilActive(bystander.windows[0]));
    startAgent();
    ASSERT_EQ(ctl({"close", id(stubborn.windows[0])}).status, 0);
    EXPECT_EQ(stubborn.process->readLine(10s), "keyclosed " + id(stubborn.windows[0]));
    barrier();
    EXPECT_TRUE(x->managed(bystander.windows[0]));
}

}  // namespace
}  // namespace tarvolin::testing
