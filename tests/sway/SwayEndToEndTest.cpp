// The agent on a private headless sway: our own Wayland clients, the session bus and the
// files, commanded through the companion program as a user would.
#include "../e2e/MenuTestSupport.h"
#include "platform/AccessibilityNames.h"
#include "platform/LocalNotificationCenter.h"
#include "platform/linux/sway/SwayDesktop.h"
#include "platform/linux/sway/SwayTree.h"
#include "tools/headless/Desktop.h"
#include "tools/headless/HeadlessSway.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <sstream>

namespace tarvolin::testing {
namespace {

using headless::Process;
using nlohmann::json;

struct Client {
    std::unique_ptr<Process> process;
    std::vector<json> views;  // as the tree first showed them, in the order asked
};

class SwayEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        sway = headless::HeadlessSway::start(error);
        ASSERT_TRUE(sway) << error;
        bus = headless::Bus::start(error);
        ASSERT_TRUE(bus) << error;
        char pattern[] = "/tmp/tarvolin-sway-e2e-XXXXXX";
        dir = ::mkdtemp(pattern);
        ::mkdir((dir + "/run").c_str(), 0700);
        env = sway->clientEnvironment();
        env.insert(env.end(), {"DBUS_SESSION_BUS_ADDRESS=" + bus->address(),
                               "XDG_RUNTIME_DIR=" + dir + "/run", "XDG_CONFIG_HOME=" + dir + "/config"});
    }
    void TearDown() override {
        stopAgent(agent.get());
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    json view(std::int64_t id) {
        for (const json& v : sway->views())
            if (v["id"] == id) return v;
        return json();
    }
    void command(std::int64_t view, const std::string& what) {
        const std::string text = "[con_id=" + std::to_string(view) + "] " + what;
        EXPECT_TRUE(sway->command(text)) << text;
    }

    // A client with one view per (app id, title), each seen in the tree.
    Client client(std::vector<std::pair<std::string, std::string>> specs) {
        std::vector<std::string> argv{TARVOLIN_SAMPLE_WAYLAND};
        for (auto& [app, title] : specs) argv.insert(argv.end(), {"--view", app, title});
        Client c{Process::spawn(argv, {env, false, true}), {}};
        EXPECT_EQ(c.process->readLine(10s), "ready");
        EXPECT_TRUE(waitFor([&] {
            c.views.clear();
            for (auto& [app, title] : specs)
                for (const json& v : sway->views())
                    if (v["pid"] == c.process->pid() && v["name"] == title) c.views.push_back(v);
            return c.views.size() == specs.size();
        }));
        return c;
    }
    std::int64_t id(const Client& c, size_t i) { return c.views.at(i)["id"]; }

    std::unique_ptr<headless::HeadlessSway> sway;
    std::unique_ptr<headless::Bus> bus;
    std::unique_ptr<Process> agent;
    std::string dir;
    std::vector<std::string> env;
};

TEST_F(SwayEndToEnd, FloatingViewsMoveAndResizeTiledOnesDoNotAndAnyCanBeMinimised) {
    auto notes = client({{"floating", "Floating"}, {"notes", "Tiled"}});
    LocalNotificationCenter center;
    std::string error;
    auto desktop = SwayDesktop::connect(sway->ipcSocket(), center, error);
    ASSERT_TRUE(desktop) << error;
    auto app = desktop->accessibility().createApplication(notes.process->pid());
    auto windows = ax::copyAttributeValue(app, kAXWindowsAttribute).value.value_or(Value::array({}));
    ASSERT_EQ(windows.asArray()->size(), 2u);
    for (const Value& w : *windows.asArray()) {
        const AXElement& e = *w.asElement();
        const std::int64_t view = ax::getWindow(e).value.value_or(0);
        const bool floating = view == id(notes, 0);
        EXPECT_EQ(ax::setAttributeValue(e, kAXSizeAttribute, AXValue::size({200, 100})),
                  floating ? AXError::success : AXError::illegalArgument);
        EXPECT_EQ(ax::setAttributeValue(e, kAXPositionAttribute, AXValue::point({40, 30})),
                  floating ? AXError::success : AXError::illegalArgument);
        // The frame, once the client has taken the new size: sway's rectangle and the title bar it reports
        // apart.
        EXPECT_TRUE(!floating || waitFor([&] {
            auto v = this->view(view);
            const int bar = v["deco_rect"]["height"], y = v["rect"]["y"], height = v["rect"]["height"];
            return v["rect"]["x"] == 40 && y - bar == 30 && v["rect"]["width"] == 200 && height + bar == 100;
        })) << this->view(view).dump();
        EXPECT_EQ(ax::setAttributeValue(e, kAXMinimizedAttribute, Value::boolean(true)), AXError::success);
        EXPECT_EQ(this->view(view)["workspace"], "__i3_scratch");
        EXPECT_EQ(ax::setAttributeValue(e, kAXMinimizedAttribute, Value::boolean(false)), AXError::success);
        EXPECT_EQ(this->view(view)["workspace"], "1");
        EXPECT_EQ(this->view(view)["type"], floating ? "floating_con" : "con") << "back where it was";
    }
}

TEST_F(SwayEndToEnd, TheDesktopFollowsEachChangeAndActsOnTheViewMeant) {
    auto first = client({{"notes", "A"}, {"notes", "B"}});
    LocalNotificationCenter center;
    std::string error;
    auto desktop = SwayDesktop::connect(sway->ipcSocket(), center, error);
    ASSERT_TRUE(desktop) << error;
    auto front = [&] {
        auto list = desktop->windows().copyWindowInfo(0, 0);
        return list && !list->empty() ? std::get<std::int64_t>(*list->front().number) : -1;
    };
    const std::int64_t a = id(first, 0), b = id(first, 1);
    for (std::int64_t view : {b, a}) {
        command(view, "focus");
        EXPECT_EQ(front(), view);  // a list taken right after a change shows it
    }
    // Another process of the same name, and a third application.
    auto second = client({{"notes", "C"}});
    auto term = client({{"term", "T"}});
    for (std::int64_t view : {id(second, 0), b, id(term, 0)}) command(view, "focus");
    // Activating picks the process of the most recently focused view, and that view.
    EXPECT_TRUE(desktop->scripts().executeScript(R"(tell the application "notes" to activate)").ok);
    EXPECT_EQ(view(b)["focused"], true);
    // Brought forward whole: every view of the process ahead of the others, its front one focused.
    command(id(term, 0), "focus");
    const auto psn = desktop->processes().getProcessForPID(first.process->pid());
    ASSERT_TRUE(psn);
    EXPECT_EQ(desktop->processes().setFrontProcessWithOptions(*psn, 0), 0);
    auto order = *desktop->windows().copyWindowInfo(0, 0);
    ASSERT_GE(order.size(), 2u);
    EXPECT_TRUE(order[0].number == WindowNumberValue(b) && order[1].number == WindowNumberValue(a));
    EXPECT_EQ(view(b)["focused"], true);

    auto app = desktop->accessibility().createApplication(first.process->pid());
    command(a, "kill");
    EXPECT_EQ(first.process->readLine(10s), "close notes A");
    ASSERT_TRUE(waitFor([&] { return view(a).is_null(); }));
    // Quitting within the turn of a look that still shows a view gone since: that one counts as closed.
    std::vector<std::function<void()>> turnEnd;
    desktop->endTurnsWith([&](std::function<void()> task) { turnEnd.push_back(std::move(task)); });
    desktop->windows().copyWindowInfo(0, 0);
    command(id(second, 0), "kill");
    ASSERT_TRUE(waitFor([&] { return view(id(second, 0)).is_null(); }));
    EXPECT_TRUE(desktop->scripts().executeScript(R"(tell the application "notes" to quit)").ok);
    EXPECT_EQ(first.process->readLine(10s), "close notes B");
    // Once sway is gone nothing answers from what was last seen.
    ::kill(sway->pid(), SIGKILL);
    EXPECT_TRUE(waitFor([&] { return !desktop->processEvents(); }));
    EXPECT_EQ(ax::copyAttributeValue(app, kAXTitleAttribute).error, AXError::cannotComplete);
    EXPECT_FALSE(desktop->windows().copyWindowInfo(0, 0));
}

TEST_F(SwayEndToEnd, ALayoutKeptFromEventsEqualsAFreshTree) {
    auto tiled = client({{"notes", "A"}, {"notes", "B"}, {"term", "T"}});
    auto floats = client({{"floating", "F"}, {"floating", "G"}});
    std::string error;
    auto events = sway::Connection::open(sway->ipcSocket(), error);
    ASSERT_TRUE(events &&
                events->request(sway::MessageType::subscribe, R"(["window","workspace","output"])"));
    auto fetch = [&] {
        auto tree = sway->ipc().request(sway::MessageType::getTree);
        return sway::parseLayout(tree.value_or("{}"),
                                 sway->ipc().request(sway::MessageType::getOutputs).value_or("[]"));
    };
    sway::Layout kept = fetch();
    int applied = 0;
    auto apply = [&](const sway::Message& m) {
        const auto effect = sway::applyEvent(kept, m.type, m.payload);
        applied += effect == sway::Effect::applied;
        if (effect == sway::Effect::needsOutputs) kept.outputs = fetch().outputs;
        if (effect == sway::Effect::needsTree) sway::adoptTree(kept, fetch());
    };
    const std::int64_t a = id(tiled, 0), b = id(tiled, 1), t = id(tiled, 2), f = id(floats, 0),
                       g = id(floats, 1);
    for (auto [v, what] : {std::pair{a, "focus"},
                           {f, "focus"},
                           {b, "floating enable"},
                           {t, "move to workspace 2"},
                           {t, "focus"},
                           {g, "focus"},
                           {a, "focus"},
                           {g, "kill"},
                           {b, "focus"}}) {
        command(v, what);
        EXPECT_TRUE(what != std::string("kill") || waitFor([&] { return view(v).is_null(); }));
        // Each command's events, taken before the next: a tree fetched for one shows only its change.
        ASSERT_TRUE(events->request(sway::MessageType::getVersion, {}, apply));
    }
    sway::Layout fresh = kept;
    sway::adoptTree(fresh, fetch());
    EXPECT_EQ(kept.views, fresh.views);
    EXPECT_GE(applied, 8);  // every focus, the workspace made, the floating view closed
}

// sway's kill would end an X client without the close protocol by force: no close is offered there.
TEST_F(SwayEndToEnd, AnXwaylandWindowIsClosedPolitelyOrNotAtAll) {
    ASSERT_FALSE(sway->xDisplay().empty());
    auto x = Process::spawn({TARVOLIN_SAMPLE_WINDOWS, "--window", "--title", "polite", "--class", "p:Pair",
                             "--window", "--title", "rude", "--class", "p:Pair", "--unclosable"},
                            {env, true, true});
    std::istringstream ready(x->readLine(20s).value_or(""));
    std::string word;
    std::uint32_t polite = 0, rude = 0;
    ASSERT_TRUE(ready >> word >> polite >> rude);
    ::setenv("DISPLAY", sway->xDisplay().c_str(), 1);  // as sway gives it to the agent
    LocalNotificationCenter center;
    std::string error;
    auto desktop = SwayDesktop::connect(sway->ipcSocket(), center, error);
    ASSERT_TRUE(desktop) << error;
    std::map<std::string, AXElement> byTitle;
    ASSERT_TRUE(waitFor([&] {
        auto app = desktop->accessibility().createApplication(x->pid());
        for (const Value& w :
             ax::copyAttributeValues(app, kAXWindowsAttribute, 0, 9).value.value_or(Value::Array{}))
            byTitle[*ax::copyAttributeValue(*w.asElement(), kAXTitleAttribute).value->asString()] =
                *w.asElement();
        return byTitle.size() == 2;
    }));
    EXPECT_TRUE(ax::copyAttributeValue(byTitle["polite"], kAXCloseButtonAttribute).ok());
    EXPECT_EQ(ax::copyAttributeValue(byTitle["rude"], kAXCloseButtonAttribute).error,
              AXError::attributeUnsupported);
    ScriptResult r = desktop->scripts().executeScript(R"(tell the application "Pair" to quit)");
    EXPECT_TRUE(!r.ok && r.error.ends_with("sway view " +
                                           std::to_string(ax::getWindow(byTitle["rude"]).value.value_or(0))))
        << r.error;
    EXPECT_EQ(x->readLine(10s), "closed " + std::to_string(polite));
}

// tarvolinctl switch through each Wayland menu, typed at through sway's virtual-keyboard
// protocol (wtype): a key label and Enter pick its view though other rows hold the label.
class SwayMenus : public SwayEndToEnd, public ::testing::WithParamInterface<std::vector<std::string>> {};

TEST_P(SwayMenus, TypingALabelAndEnterPicksItsView) {
    const std::string program = GetParam()[0];
    for (const std::string& tool : {"/usr/bin/" + program, std::string("/usr/bin/wtype")})
        if (::access(tool.c_str(), X_OK) != 0)
            GTEST_SKIP() << tool << " is not installed (scripts/install-deps installs it)";
    // fuzzel names a lock file after $WAYLAND_DISPLAY: it must be a name in $XDG_RUNTIME_DIR.
    ASSERT_EQ(::symlink(sway->waylandDisplay().c_str(), (dir + "/run/wayland-0").c_str()), 0);
    std::erase_if(env, [](const std::string& e) { return e.starts_with("WAYLAND_DISPLAY="); });
    env.insert(env.end(), {"WAYLAND_DISPLAY=wayland-0", "HOME=" + dir, "XDG_CACHE_HOME=" + dir + "/cache"});
    env.insert(env.end(), GetParam().begin() + 1, GetParam().end());
    // bemenu crashes on a seat without a keyboard, as a session would have; fuzzel crashes
    // when started beside a virtual keyboard after another has left: only bemenu gets one.
    auto keyboard = program == "bemenu" ? Process::spawn({"/usr/bin/wtype", "-s", "120000"}, {env}) : nullptr;

    std::vector<Client> clients;
    for (auto [app, title] : kMenuApps) {
        clients.push_back(client({{app, title}}));
        command(id(clients.back(), 0), "focus");
    }
    ASSERT_NO_FATAL_FAILURE(labelMenuApps(env));
    ASSERT_NO_FATAL_FAILURE(startAgent(env, agent));

    installMenu(dir + "/bin", program);
    env.push_back("PATH=" + dir + "/bin");
    auto focused = [&] {  // the application whose view has the focus
        for (const json& v : sway->views())
            if (v["focused"] == true) return v["app_id"].get<std::string>();
        return std::string("none");
    };
    for (auto [typed, chosen] : {std::pair{"n1", 0}, {"n10", 1}}) {
        SCOPED_TRACE(typed);
        auto switcher = spawnJoined({TARVOLINCTL, "switch", "--timeout", "30"}, env);
        // The menu has the keyboard once no view has the focus.
        EXPECT_TRUE(waitFor([&] { return focused() == "none"; })) << program << " never took the keyboard";
        auto keys =
            spawnJoined({"/usr/bin/wtype", "-s", "300", "-d", "40", typed, "-s", "300", "-k", "Return"}, env);
        EXPECT_EQ(finish(*keys).status, 0);
        auto r = finish(*switcher, 40s);
        EXPECT_EQ(r.status, 0) << r.out;
        const auto want = id(clients[chosen], 0);
        EXPECT_TRUE(waitFor([&] { return view(want)["focused"] == true; })) << "focused: " << focused();
        if (chosen == 0) expectMenuRows(dir + "/bin", program, false);
    }
}

INSTANTIATE_TEST_SUITE_P(Wayland, SwayMenus,
                         ::testing::Values(std::vector<std::string>{"wofi"},
                                           std::vector<std::string>{"fuzzel"},
                                           std::vector<std::string>{"bemenu", "BEMENU_BACKEND=wayland"}),
                         [](const auto& p) { return p.param[0]; });

}  // namespace
}  // namespace tarvolin::testing
