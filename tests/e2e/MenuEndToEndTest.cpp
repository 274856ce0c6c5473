// tarvolinctl switch through each real X11 menu program on a private desktop, typed at with
// XTEST: a key label and Enter pick its window though other rows hold the label.
#include "XTestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

namespace tarvolin::testing {
namespace {

namespace fs = std::filesystem;

struct Menu {
    std::string program;
    std::vector<std::string> env;
    friend void PrintTo(const Menu& m, std::ostream* os) { *os << m.program; }
};

class MenuEndToEnd : public ::testing::TestWithParam<Menu> {
protected:
    void SetUp() override {
        const Menu& menu = GetParam();
        const fs::path installed = fs::path("/usr/bin") / menu.program;
        if (::access(installed.c_str(), X_OK) != 0)
            GTEST_SKIP() << menu.program << " is not installed (scripts/install-deps installs it)";
        std::string error;
        x = XvfbDesktop::start({}, error);
        ASSERT_TRUE(x) << error;
        const std::string d = dir.string();
        for (const char* sub : {"", "/bin", "/run", "/home"}) ::mkdir((d + sub).c_str(), 0700);
        // The menu alone on the PATH, so that tarvolinctl picks it from its own list, arguments
        // and all; it keeps a copy of the rows it is given.
        std::ofstream(dir / "bin" / menu.program)
            << "#!/bin/sh\n/usr/bin/tee \"$0.in\" | exec " << installed.string() << " \"$@\"\n";
        fs::permissions(dir / "bin" / menu.program, fs::perms::owner_all);
        fs::create_symlink("/bin/sh", dir / "bin/sh");
        env = x->environment();
        env.insert(env.end(), {"XDG_RUNTIME_DIR=" + d + "/run", "XDG_CONFIG_HOME=" + d + "/config",
                               "XDG_CACHE_HOME=" + d + "/cache", "HOME=" + d + "/home"});
        env.insert(env.end(), menu.env.begin(), menu.env.end());
    }

    void TearDown() override {
        if (agent) {
            ::kill(agent->pid(), SIGTERM);
            auto status = agent->wait(10s);
            EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
        }
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    struct Result {
        int status;
        std::string out;
    };
    Result ctl(std::vector<std::string> args) {
        args.insert(args.begin(), {"sh", "-c", "exec \"$0\" \"$@\" 2>&1", TARVOLINCTL});
        auto child = Process::spawn(args, {env, false, true});
        std::string out;
        while (auto line = child->readLine(10s)) out += *line + "\n";
        auto status = child->wait(10s);
        return {status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1, out};
    }

    // The menu holds the keyboard once it is ready for keys: a grab of our own then fails.
    bool waitForKeyboardGrab(Process& switcher) {
        xcb_connection_t* c = x->x().xcb();
        for (int i = 0; i < 400 && switcher.running(); ++i, std::this_thread::sleep_for(50ms)) {
            auto* reply = xcb_grab_keyboard_reply(c,
                                                  xcb_grab_keyboard(c, 0, x->x().root(), XCB_CURRENT_TIME,
                                                                    XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
                                                  nullptr);
            const bool taken = reply && reply->status == XCB_GRAB_STATUS_ALREADY_GRABBED;
            std::free(reply);
            if (taken) return true;
            xcb_ungrab_keyboard(c, XCB_CURRENT_TIME);
            xcb_flush(c);
        }
        return false;
    }

    // Runs tarvolinctl switch, types `typed` and Enter into the menu, and gives its exit status.
    int switchByTyping(const std::string& typed) {
        auto switcher =
            Process::spawn({"sh", "-c", std::string("exec ") + TARVOLINCTL + " switch --timeout 30 2>&1"},
                           {env, false, true});
        EXPECT_TRUE(waitForKeyboardGrab(*switcher)) << GetParam().program << " never took the keyboard";
        std::this_thread::sleep_for(200ms);  // the grab comes before the first drawing
        for (const std::vector<std::string>& keys :
             {std::vector<std::string>{"/usr/bin/xdotool", "type", "--delay", "40", typed},
              std::vector<std::string>{"/usr/bin/xdotool", "key", "Return"}}) {
            auto xdotool = Process::spawn(keys, {env});
            auto done = xdotool->wait(10s);
            EXPECT_TRUE(done && WIFEXITED(*done) && WEXITSTATUS(*done) == 0);
        }
        std::string out;
        while (auto line = switcher->readLine(40s)) out += *line + "\n";
        auto status = switcher->wait(10s);
        EXPECT_TRUE(out.empty()) << out;
        return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
    }

    fs::path dir = fs::temp_directory_path() / ("tarvolin-menu-" + std::to_string(::getpid()));
    std::unique_ptr<XvfbDesktop> x;
    std::unique_ptr<Process> agent;
    std::vector<std::string> env;
};

TEST_P(MenuEndToEnd, TypingALabelAndEnterPicksItsWindow) {
    // Started in this order, the last in front: the labelled windows behind every row that
    // holds their label (a title, an application name, a longer label).
    std::string error;
    std::vector<TestClient> clients;
    for (auto [app, title] :
         {std::pair{"One", "one"}, {"Ten", "ten"}, {"Two", "see n1"}, {"N1app", "x"}, {"Term", "build n1"}}) {
        auto c = startClient(*x, {{"--title", title, "--class", std::string(app) + ":" + app}}, error);
        ASSERT_TRUE(c) << error;
        clients.push_back(std::move(*c));
    }
    for (auto [app, label] : {std::pair{"One", "n1"}, {"Ten", "n10"}, {"Two", "n2"}})
        ASSERT_EQ(ctl({"keys", "set", app, label}).status, 0);
    const auto list = nlohmann::json::parse(ctl({"windows", "--json"}).out);
    ASSERT_EQ(list.size(), 5u);
    ASSERT_EQ(list[0]["appName"], "Term");
    ASSERT_EQ(list[4]["key"], "n1");

    Process::Options options;
    options.env = env;
    options.env.push_back("PATH=/usr/bin:/bin");
    agent = Process::spawn({TARVOLIN_AGENT}, options);
    ASSERT_EQ(ctl({"json", R"({"cmd":"barrier"})", "--force"}).status, 0);
    ASSERT_TRUE(x->x().waitFor([&] {
        return ctl({"pasteboard", "show"}).out.find('"') == std::string::npos;
    }));

    env.push_back("PATH=" + (dir / "bin").string());
    const char* apps[] = {"One", "Ten", "Two", "N1app", "Term"};
    auto active = [&] {  // the application whose window was picked instead
        const auto w = x->x().cardinals(x->x().root(), "_NET_ACTIVE_WINDOW");
        for (std::size_t i = 0; i < clients.size(); ++i)
            if (w == std::vector{clients[i].windows[0]}) return std::string(apps[i]);
        return std::string("none");
    };
    for (auto [typed, chosen] : {std::pair{"n1", 0}, {"n10", 1}}) {
        SCOPED_TRACE(typed);
        EXPECT_EQ(switchByTyping(typed), 0);
        EXPECT_TRUE(waitUntilActive(*x, clients[chosen].windows[0])) << "active: " << active();
        if (chosen != 0) continue;
        // The labels a column, n1's row just before the first that holds n1, the rest in order.
        std::ifstream in(dir / "bin" / (GetParam().program + ".in"));
        std::vector<std::string> rows;
        for (std::string row; std::getline(in, row);) rows.push_back(row.substr(0, row.find('\0')));
        EXPECT_EQ(rows, (std::vector<std::string>{"n1   One  one", "     Term  build n1", "     N1app  x",
                                                  "n2   Two  see n1", "n10  Ten  ten"}));
    }
}

INSTANTIATE_TEST_SUITE_P(X11, MenuEndToEnd,
                         ::testing::Values(Menu{"rofi", {}}, Menu{"dmenu", {}},
                                           Menu{"bemenu", {"BEMENU_BACKEND=x11"}}),
                         [](const auto& p) { return p.param.program; });

}  // namespace
}  // namespace tarvolin::testing
