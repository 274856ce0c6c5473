// Real widgets through the agent's elements: a GTK application on the private X desktop with an
// accessibility bus, read through tarvolinctl and by the test's own walk of the bus.
#include "MenuTestSupport.h"
#include "tools/headless/Desktop.h"
#include "tools/headless/HeadlessSway.h"

#include <atspi/atspi.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>

namespace tarvolin::testing {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

// Where the test's own walk puts a widget: on the screen, or (Wayland) inside its window, moved by
// the window's place as the agent lists it.
struct Place {
    AtspiCoordType coords;
    int dx, dy;
};

// Each widget as "title x y w h", its place only where it is shown, in tree order.
void ownWalk(AtspiAccessible* a, const Place& place, std::vector<std::string>& out) {
    GError* e = nullptr;
    const gint count = atspi_accessible_get_child_count(a, &e);
    g_clear_error(&e);
    for (gint i = 0; i < count; ++i) {
        AtspiAccessible* child = atspi_accessible_get_child_at_index(a, i, &e);
        g_clear_error(&e);
        if (!child) continue;
        gchar* name = atspi_accessible_get_name(child, &e);
        g_clear_error(&e);
        std::string line = name ? name : "";
        g_free(name);
        AtspiStateSet* states = atspi_accessible_get_state_set(child);
        AtspiComponent* c = atspi_accessible_get_component_iface(child);
        if (c && atspi_state_set_contains(states, ATSPI_STATE_SHOWING)) {
            AtspiRect* r = atspi_component_get_extents(c, place.coords, &e);
            g_clear_error(&e);
            if (r && r->x != G_MININT32 && r->y != G_MININT32)
                line += " " + std::to_string(r->x + place.dx) + " " + std::to_string(r->y + place.dy) + " " +
                        std::to_string(r->width) + " " + std::to_string(r->height);
            g_free(r);
        }
        if (c) g_object_unref(c);
        g_object_unref(states);
        out.push_back(line);
        ownWalk(child, place, out);
        g_object_unref(child);
    }
}

// The same from tarvolinctl inspect's tree, below the window and without its close button.
void agentWalk(const json& node, std::vector<std::string>& out) {
    for (const json& child : node["children"]) {
        const json& a = child["attributes"];
        if (a.value("AXSubrole", json()) == "AXCloseButton") continue;
        std::string line = a.value("AXTitle", json()).is_string() ? a["AXTitle"].get<std::string>() : "";
        double x, y, w, h;
        if (a.value("AXPosition", json()).is_string() && a.value("AXSize", json()).is_string() &&
            std::sscanf(a["AXPosition"].get<std::string>().c_str(), "x=%lg y=%lg", &x, &y) == 2 &&
            std::sscanf(a["AXSize"].get<std::string>().c_str(), "w=%lg h=%lg", &w, &h) == 2)
            line += " " + std::to_string(int(x)) + " " + std::to_string(int(y)) + " " +
                    std::to_string(int(w)) + " " + std::to_string(int(h));
        out.push_back(line);
        agentWalk(child, out);
    }
}

// Every node of an inspect tree, in tree order.
void nodes(const json& node, std::vector<json>& out) {
    for (const json& child : node["children"]) {
        out.push_back(child);
        nodes(child, out);
    }
}

// A toolkit's application, and what a press does there: `press` turns `shows`'s value from
// `before` to `after`. On Wayland GTK 3 draws its whole window anew for each frame of an
// animation, so busy that each request waits; `calm` shows a page without one.
struct App {
    const char* name;
    std::vector<std::string> argv, env;  // env: on top of the desktop's, for X and for Wayland
    std::vector<std::string> x11, wayland;
    std::string title, press, shows, before, after, calm;
};
const App kGtk{"Gtk",
               {"/usr/bin/gtk3-widget-factory"},
               {},
               {"GDK_BACKEND=x11"},
               {"GDK_BACKEND=wayland"},
               "gtk3-widget-factory",
               "AXGroup/AXCheckBox[Menu]",
               "AXGroup/AXCheckBox[Menu]",
               "0",
               "1",
               "AXGroup/AXGroup#2/AXRadioButton[Page 3]"};
const App kQt{"Qt",
              {"/usr/lib/x86_64-linux-gnu/qt5/examples/widgets/widgets/calculator/calculator"},
              {"QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1"},
              {"QT_QPA_PLATFORM=xcb"},
              {"QT_QPA_PLATFORM=wayland"},
              "Calculator",
              "AXButton[7]",
              "AXTextArea",
              "0",
              "7",
              ""};

struct Setup {
    bool wayland;  // sway, else Xvfb with openbox
    const App* app;
};

class WidgetEndToEnd : public ::testing::TestWithParam<Setup> {
protected:
    void SetUp() override {
        std::string error;
        std::string pattern = (fs::temp_directory_path() / "tarvolin-widgets-XXXXXX").string();
        ASSERT_TRUE(::mkdtemp(pattern.data()));
        home = pattern;
        ::mkdir((home / "run").c_str(), 0700);
        const App& a = *GetParam().app;
        if (GetParam().wayland) {
            sway = headless::HeadlessSway::start(error);
            ASSERT_TRUE(sway) << error;
            sessionBus = headless::Bus::start(error);
            ASSERT_TRUE(sessionBus) << error;
            // Each window the size it asks for, as on X: the widget factory is wider than a tile.
            ASSERT_TRUE(sway->command("for_window [app_id=\".*\"] floating enable"));
            env = sway->clientEnvironment();
            env.push_back("DBUS_SESSION_BUS_ADDRESS=" + sessionBus->address());
        } else {
            desktop = headless::XvfbDesktop::start({}, error);
            ASSERT_TRUE(desktop) << error;
            env = desktop->environment();
        }
        env.insert(env.end(), {"XDG_RUNTIME_DIR=" + (home / "run").string(),
                               "XDG_CONFIG_HOME=" + (home / "config").string()});
        bus = headless::Process::spawn({"/usr/libexec/at-spi-bus-launcher", "--launch-immediately"}, {env});
        std::vector<std::string> appEnv = env;
        appEnv.insert(appEnv.end(), a.env.begin(), a.env.end());
        const auto& own = GetParam().wayland ? a.wayland : a.x11;
        appEnv.insert(appEnv.end(), own.begin(), own.end());
        app = headless::Process::spawn(a.argv, {appEnv});
        ASSERT_TRUE(waitFor([&] { return !(window = appWindow()).empty(); }, 30s)) << "no " << a.title;
        if (GetParam().wayland && !a.calm.empty()) {
            ASSERT_TRUE(waitFor([&] { return ctl({"press", window, a.calm}, env).status == 0; }, 30s));
        }
        // The application registers on the bus a moment after it shows its window.
        ASSERT_TRUE(waitFor([&] { return value(a.shows) == a.before; }, 30s)) << a.shows;
    }
    void TearDown() override {
        app.reset();
        bus.reset();
        std::error_code ec;
        fs::remove_all(home, ec);
    }

    std::string appWindow() {
        const json list = json::parse(ctl({"windows", "--json"}, env).out, nullptr, false);
        if (list.is_array())
            for (const json& w : list)
                if (w.value("title", json()) == GetParam().app->title) {
                    frame = w;
                    return std::to_string(w["winId"].get<std::int64_t>());
                }
        return "";
    }
    json inspect(int depth) {
        return json::parse(ctl({"inspect", window, "--json", "--depth", std::to_string(depth)}, env).out,
                           nullptr, false);
    }
    json value(const std::string& path) {
        std::vector<json> all;
        const json tree = inspect(64);
        if (tree.is_object()) nodes(tree, all);
        for (const json& n : all)
            if (n["path"] == path) return n["attributes"].value("AXValue", json());
        return json();
    }

    std::unique_ptr<headless::XvfbDesktop> desktop;
    std::unique_ptr<headless::HeadlessSway> sway;
    std::unique_ptr<headless::Bus> sessionBus;
    fs::path home;
    std::vector<std::string> env;
    std::unique_ptr<headless::Process> bus, app;
    std::string window;
    json frame;  // the window as tarvolinctl windows lists it
};

// The test's own walk, in a child process: libatspi keeps the first bus it is given.
std::vector<std::string> ownTree(const std::vector<std::string>& env, pid_t app, const Place& place) {
    int out[2];
    if (::pipe(out) != 0) return {};
    const pid_t child = ::fork();
    if (child == 0) {
        for (const std::string& e : env) ::putenv(const_cast<char*>(e.c_str()));
        std::vector<std::string> own;
        if (atspi_init() != 0) ::_exit(1);
        AtspiAccessible* desk = atspi_get_desktop(0);
        GError* e = nullptr;
        for (gint i = 0; i < atspi_accessible_get_child_count(desk, &e); ++i) {
            AtspiAccessible* a = atspi_accessible_get_child_at_index(desk, i, &e);
            if (a && atspi_accessible_get_process_id(a, &e) == guint(app)) {
                AtspiAccessible* top = atspi_accessible_get_child_at_index(a, 0, &e);
                ownWalk(top, place, own);
            }
        }
        std::string all;
        for (const std::string& line : own) all += line + '\0';
        const bool written = ::write(out[1], all.data(), all.size()) == ssize_t(all.size());
        ::_exit(written ? 0 : 1);
    }
    ::close(out[1]);
    std::string all;
    char buffer[4096];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) all.append(buffer, size_t(n));
    ::close(out[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    std::vector<std::string> lines;
    for (size_t at = 0, end; (end = all.find('\0', at)) != std::string::npos; at = end + 1)
        lines.push_back(all.substr(at, end - at));
    return lines;
}

TEST_P(WidgetEndToEnd, TheTreeIsWhatTheAccessibilityBusShows) {
    const Place place = GetParam().wayland
                            ? Place{ATSPI_COORD_TYPE_WINDOW, frame["x"].get<int>(), frame["y"].get<int>()}
                            : Place{ATSPI_COORD_TYPE_SCREEN, 0, 0};
    // A request that runs late on a loaded machine leaves a widget out until the next look.
    std::vector<std::string> own, agent;
    EXPECT_TRUE(waitFor(
        [&] {
            own = ownTree(env, app->pid(), place);
            agent.clear();
            agentWalk(inspect(64), agent);
            return own.size() > 25 && agent == own;
        },
        60s));
    EXPECT_EQ(agent, own);
}

// Press and set act on the widget the path names, as the application then shows it; a report
// names the element's lineage; a path to nothing, and a window whose application has gone, are
// refused with the reason.
TEST_P(WidgetEndToEnd, PressAndSetActOnTheWidgetThePathNames) {
    const App& a = *GetParam().app;
    ASSERT_EQ(ctl({"press", window, a.press}, env).status, 0);
    EXPECT_TRUE(waitFor([&] { return value(a.shows) == a.after; }));

    const RunResult report = ctl({"inspect", window, a.press}, env);
    EXPECT_EQ(report.status, 0);
    const std::string last = a.press.substr(a.press.rfind('/') + 1);  // ROLE[TITLE]
    const std::string lineage =
        "<AXApplication: “" + frame["appName"].get<std::string>() + "”>\n <AXWindow: “" + a.title + "”>\n";
    EXPECT_EQ(report.out.rfind(lineage, 0), 0u) << report.out;
    EXPECT_NE(report.out.find("<" + last.substr(0, last.find('[')) + ": “" +
                              last.substr(last.find('[') + 1, last.size() - last.find('[') - 2) +
                              "”>\n\nAttributes:"),
              std::string::npos)
        << report.out;
    EXPECT_NE(report.out.find("AXPress - "), std::string::npos) << report.out;

    std::vector<json> all;
    nodes(inspect(64), all);
    std::string entry;
    for (const json& n : all)
        if (n["attributes"].value("AXRole", json()) == "AXTextField" &&
            ctl({"set", window, n["path"], "AXValue", "typed by tarvolin"}, env).status == 0) {
            entry = n["path"];
            break;
        }
    if (&a == &kGtk) {
        ASSERT_FALSE(entry.empty()) << "no text field took a value";
        EXPECT_TRUE(waitFor([&] { return value(entry) == "typed by tarvolin"; })) << entry;
    }
    const RunResult none = ctl({"press", window, a.press + "#2"}, env);
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.out.find("has no element " + a.press + "#2"), std::string::npos) << none.out;
    EXPECT_EQ(ctl({"set", window, "AXGroup[", "AXValue", "x"}, env).status, 1);
    app.reset();
    EXPECT_TRUE(waitFor([&] { return ctl({"inspect", window}, env).status == 1; }));
}

// An application that stops answering costs a bounded wait, never the agent: a stopped one shows
// no widgets and takes no press, the agent starts and takes a command beside it, and once it
// answers again its widgets are back. One killed while it is read ends the read, not the reader.
TEST_P(WidgetEndToEnd, AnApplicationThatHangsOrDiesStallsNothing) {
    const App& a = *GetParam().app;
    ASSERT_EQ(::kill(app->pid(), SIGSTOP), 0);
    const RunResult stopped = ctl({"inspect", window, "--json"}, env);
    ASSERT_EQ(stopped.status, 0);
    std::vector<std::string> widgets;
    agentWalk(json::parse(stopped.out), widgets);
    EXPECT_TRUE(widgets.empty()) << widgets.size();
    EXPECT_EQ(ctl({"press", window, a.press}, env).status, 1);
    std::unique_ptr<headless::Process> agent;
    startAgent(env, agent);
    EXPECT_EQ(ctl({"raise", window}, env).status, 0);
    EXPECT_TRUE(waitFor([&] { return ctl({"pasteboard", "show"}, env).out.find('"') == std::string::npos; }));
    stopAgent(agent.get());

    ASSERT_EQ(::kill(app->pid(), SIGCONT), 0);
    EXPECT_TRUE(waitFor([&] { return value(a.shows) == a.before; }, 30s));
    auto reading = spawnJoined({TARVOLINCTL, "inspect", window, "--depth", "64"}, env);
    ::kill(app->pid(), SIGKILL);
    const RunResult read = finish(*reading);
    EXPECT_TRUE(read.status == 0 || read.status == 1) << read.status << read.out;
}

INSTANTIATE_TEST_SUITE_P(Desktops, WidgetEndToEnd,
                         ::testing::Values(Setup{false, &kGtk}, Setup{false, &kQt}, Setup{true, &kGtk},
                                           Setup{true, &kQt}),
                         [](const auto& p) {
                             return std::string(p.param.wayland ? "Sway" : "X11") + p.param.app->name;
                         });

}  // namespace
}  // namespace tarvolin::testing
