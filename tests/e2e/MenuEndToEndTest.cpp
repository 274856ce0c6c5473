// tarvolinctl switch through each real X11 menu program on a private desktop, typed at with
// XTEST: a key label and Enter pick its window though other rows hold the label.
#include "MenuTestSupport.h"
#include "XTestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace tarvolin::testing {
namespace {

namespace fs = std::filesystem;

// The menu program, then variables it needs.
class MenuEndToEnd : public ::testing::TestWithParam<std::vector<std::string>> {
protected:
    void SetUp() override {
        const std::string& program = GetParam()[0];
        if (::access(("/usr/bin/" + program).c_str(), X_OK) != 0)
            GTEST_SKIP() << program << " is not installed (scripts/install-deps installs it)";
        std::string error;
        x = XvfbDesktop::start({}, error);
        ASSERT_TRUE(x) << error;
        const std::string d = dir.string();
        for (const char* sub : {"", "/run", "/home"}) ::mkdir((d + sub).c_str(), 0700);
        installMenu(dir / "bin", program);
        env = x->environment();
        env.insert(env.end(), {"XDG_RUNTIME_DIR=" + d + "/run", "XDG_CONFIG_HOME=" + d + "/config",
                               "XDG_CACHE_HOME=" + d + "/cache", "HOME=" + d + "/home"});
        env.insert(env.end(), GetParam().begin() + 1, GetParam().end());
    }

    void TearDown() override {
        stopAgent(agent.get());
        std::error_code ec;
        fs::remove_all(dir, ec);
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

    fs::path dir = fs::temp_directory_path() / ("tarvolin-menu-" + std::to_string(::getpid()));
    std::unique_ptr<XvfbDesktop> x;
    std::unique_ptr<Process> agent;
    std::vector<std::string> env;
};

TEST_P(MenuEndToEnd, TypingALabelAndEnterPicksItsWindow) {
    std::string error;
    std::vector<TestClient> clients;
    for (auto [app, title] : kMenuApps) {
        auto c = startClient(*x, {{"--title", title, "--class", std::string(app) + ":" + app}}, error);
        ASSERT_TRUE(c) << error;
        clients.push_back(std::move(*c));
    }
    ASSERT_NO_FATAL_FAILURE(labelMenuApps(env));
    ASSERT_NO_FATAL_FAILURE(startAgent(env, agent));

    env.push_back("PATH=" + (dir / "bin").string());
    for (auto [typed, chosen] : {std::pair{"n1", 0}, {"n10", 1}}) {
        SCOPED_TRACE(typed);
        auto switcher = spawnJoined({TARVOLINCTL, "switch", "--timeout", "30"}, env);
        EXPECT_TRUE(waitForKeyboardGrab(*switcher)) << GetParam()[0] << " never took the keyboard";
        std::this_thread::sleep_for(200ms);  // the grab comes before the first drawing
        for (const std::vector<std::string>& keys :
             {std::vector<std::string>{"/usr/bin/xdotool", "type", "--delay", "40", typed},
              {"/usr/bin/xdotool", "key", "Return"}})
            EXPECT_EQ(finish(*spawnJoined(keys, env)).status, 0);
        const auto r = finish(*switcher, 40s);
        EXPECT_TRUE(r.status == 0 && r.out.empty()) << r.status << ": " << r.out;
        EXPECT_TRUE(waitUntilActive(*x, clients[chosen].windows[0]));
        if (chosen == 0) expectMenuRows(dir / "bin", GetParam()[0], true);
    }
}

INSTANTIATE_TEST_SUITE_P(X11, MenuEndToEnd,
                         ::testing::Values(std::vector<std::string>{"rofi"},
                                           std::vector<std::string>{"dmenu"},
                                           std::vector<std::string>{"bemenu", "BEMENU_BACKEND=x11"}),
                         [](const auto& p) { return p.param[0]; });

}  // namespace
}  // namespace tarvolin::testing
