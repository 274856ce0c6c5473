// Real widgets through the agent's elements: a GTK application on the private X desktop with an
// accessibility bus, read through tarvolinctl and by the test's own walk of the bus.
#include "MenuTestSupport.h"
#include "tools/headless/Desktop.h"

#include <atspi/atspi.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>

namespace tarvolin::testing {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

// Each widget as "title x y w h", its place only where it is shown, in tree order.
void ownWalk(AtspiAccessible* a, std::vector<std::string>& out) {
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
            AtspiRect* r = atspi_component_get_extents(c, ATSPI_COORD_TYPE_SCREEN, &e);
            g_clear_error(&e);
            if (r)
                line += " " + std::to_string(r->x) + " " + std::to_string(r->y) + " " +
                        std::to_string(r->width) + " " + std::to_string(r->height);
            g_free(r);
        }
        if (c) g_object_unref(c);
        g_object_unref(states);
        out.push_back(line);
        ownWalk(child, out);
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
        if (a.contains("AXPosition") && a.contains("AXSize") &&
            std::sscanf(a["AXPosition"].get<std::string>().c_str(), "x=%lg y=%lg", &x, &y) == 2 &&
            std::sscanf(a["AXSize"].get<std::string>().c_str(), "w=%lg h=%lg", &w, &h) == 2)
            line += " " + std::to_string(int(x)) + " " + std::to_string(int(y)) + " " +
                    std::to_string(int(w)) + " " + std::to_string(int(h));
        out.push_back(line);
        agentWalk(child, out);
    }
}

class WidgetEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        desktop = headless::XvfbDesktop::start({}, error);
        ASSERT_TRUE(desktop) << error;
        std::string pattern = (fs::temp_directory_path() / "tarvolin-widgets-XXXXXX").string();
        ASSERT_TRUE(::mkdtemp(pattern.data()));
        home = pattern;
        ::mkdir((home / "run").c_str(), 0700);
        env = desktop->environment();
        env.insert(env.end(), {"XDG_RUNTIME_DIR=" + (home / "run").string(),
                               "XDG_CONFIG_HOME=" + (home / "config").string()});
        bus = headless::Process::spawn({"/usr/libexec/at-spi-bus-launcher", "--launch-immediately"}, {env});
        app = headless::Process::spawn({"/usr/bin/gtk3-widget-factory"}, {env});
        ASSERT_TRUE(waitFor([&] { return !(window = factoryWindow()).empty(); }, 30s)) << "no widget factory";
    }
    void TearDown() override {
        app.reset();
        bus.reset();
        std::error_code ec;
        fs::remove_all(home, ec);
    }

    std::string factoryWindow() {
        const json list = json::parse(ctl({"windows", "--json"}, env).out, nullptr, false);
        if (list.is_array())
            for (const json& w : list)
                if (w.value("title", json()) == "gtk3-widget-factory")
                    return std::to_string(w["winId"].get<std::int64_t>());
        return "";
    }
    json inspect(int depth) {
        return json::parse(ctl({"inspect", window, "--json", "--depth", std::to_string(depth)}, env).out,
                           nullptr, false);
    }

    std::unique_ptr<headless::XvfbDesktop> desktop;
    fs::path home;
    std::vector<std::string> env;
    std::unique_ptr<headless::Process> bus, app;
    std::string window;
};

TEST_F(WidgetEndToEnd, TheTreeIsWhatTheAccessibilityBusShows) {
    // The application registers on the bus a moment after it maps its window.
    std::vector<std::string> agent;
    ASSERT_TRUE(waitFor(
        [&] {
            agent.clear();
            agentWalk(inspect(64), agent);
            return agent.size() > 100;
        },
        30s))
        << agent.size();
    for (const std::string& e : env)
        if (e.starts_with("DBUS_SESSION_BUS_ADDRESS=") || e.starts_with("DISPLAY="))
            ::putenv(const_cast<char*>(e.c_str()));
    ASSERT_EQ(atspi_init(), 0);
    AtspiAccessible* desk = atspi_get_desktop(0);
    std::vector<std::string> own;
    GError* e = nullptr;
    for (gint i = 0; i < atspi_accessible_get_child_count(desk, &e); ++i) {
        AtspiAccessible* a = atspi_accessible_get_child_at_index(desk, i, &e);
        if (a && atspi_accessible_get_process_id(a, &e) == guint(app->pid())) {
            AtspiAccessible* frame = atspi_accessible_get_child_at_index(a, 0, &e);
            ownWalk(frame, own);
            g_object_unref(frame);
        }
        if (a) g_object_unref(a);
    }
    g_object_unref(desk);
    EXPECT_EQ(agent, own);
}

// Every node of an inspect tree, in tree order.
void nodes(const json& node, std::vector<json>& out) {
    for (const json& child : node["children"]) {
        out.push_back(child);
        nodes(child, out);
    }
}

// Press and set act on the widget the path names, as the application then shows it; a path to
// nothing, and a window whose application has gone, are refused with the reason.
TEST_F(WidgetEndToEnd, PressAndSetActOnTheWidgetThePathNames) {
    auto value = [&](const std::string& path) {
        std::vector<json> all;
        nodes(inspect(64), all);
        for (const json& n : all)
            if (n["path"] == path) return n["attributes"].value("AXValue", json());
        return json();
    };
    ASSERT_TRUE(waitFor([&] { return value("AXGroup/AXCheckBox[Menu]") == "0"; }, 30s));
    ASSERT_EQ(ctl({"press", window, "AXGroup/AXCheckBox[Menu]"}, env).status, 0);
    EXPECT_TRUE(waitFor([&] { return value("AXGroup/AXCheckBox[Menu]") == "1"; }));

    std::vector<json> all;
    nodes(inspect(64), all);
    std::string entry;
    for (const json& n : all)
        if (n["attributes"].value("AXRole", json()) == "AXTextField" &&
            ctl({"set", window, n["path"], "AXValue", "typed by tarvolin"}, env).status == 0) {
            entry = n["path"];
            break;
        }
    ASSERT_FALSE(entry.empty()) << "no text field took a value";
    EXPECT_TRUE(waitFor([&] { return value(entry) == "typed by tarvolin"; })) << entry;

    const RunResult none = ctl({"press", window, "AXGroup/AXCheckBox[Menu]#2"}, env);
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.out.find("has no element AXGroup/AXCheckBox[Menu]#2"), std::string::npos) << none.out;
    EXPECT_EQ(ctl({"set", window, "AXGroup[", "AXValue", "x"}, env).status, 1);
    app.reset();
    EXPECT_TRUE(waitFor([&] { return ctl({"inspect", window}, env).status == 1; }));
}

}  // namespace
}  // namespace tarvolin::testing
