#pragma once

// The agent on a compositor it reaches through code of its own inside it (KWin, GNOME Shell):
// the end-to-end cases every such desktop shares, checked against what the compositor itself
// reports to the test's own look into it. Each compositor's fixture says how it shows them.
#include "MenuTestSupport.h"
#include "platform/AccessibilityNames.h"
#include "platform/LocalNotificationCenter.h"
#include "platform/linux/compositor/ReportedState.h"
#include "platform/linux/desktop/DesktopBackend.h"

#include <systemd/sd-bus.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <map>

namespace tarvolin::testing {

class CompositorEndToEnd : public ::testing::Test {
protected:
    using json = nlohmann::json;

    // The compositor's ordinary windows as it reports them: {id, title, pid, app (the
    // application name the agent gives), frame {x, y, w, h}, minimized, focused}.
    virtual json windows() = 0;
    // Puts window `a` on the second workspace, minimises `b`, and makes the first one current.
    virtual void secondWorkspaceAndMinimised(const json& a, const json& b) = 0;
    virtual int currentWorkspace() = 0;  // 0 for the first
    virtual std::unique_ptr<DesktopBackend> connect(NotificationCenter& center, std::string& error) = 0;
    virtual void stopCompositor() = 0;
    virtual void maximise(const json& w) = 0;

    void TearDown() override {
        stopAgent(agent.get());
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    // A private folder for the agent's files, readable by the compositor's own user.
    void makeDir(const char* name) {
        std::string pattern = "/tmp/" + std::string(name) + "-XXXXXX";
        dir = ::mkdtemp(pattern.data());
        ::chmod(dir.c_str(), 0755);
        ::mkdir((dir + "/run").c_str(), 0755);
    }

    // A harness's compositor, on this system's desktop or on the one of the Debian root
    // $TARVOLIN_DEBIAN13_ROOT names; the clients' environment for it.
    template <class Harness, class Options>
    std::unique_ptr<Harness> startCompositor(Options options) {
        if (const char* root = std::getenv("TARVOLIN_DEBIAN13_ROOT"); root && *root) {
            options.root = root;
            options.shared = {dir};
        }
        std::string error;
        auto started = Harness::start(error, options);
        EXPECT_TRUE(started) << error;
        if (!started) return started;
        env = started->clientEnvironment();
        env.insert(env.end(), {"XDG_RUNTIME_DIR=" + dir + "/run", "XDG_CONFIG_HOME=" + dir + "/config"});
        return started;
    }

    std::unique_ptr<headless::Process> wayland(std::vector<std::pair<std::string, std::string>> views) {
        std::vector<std::string> argv{TARVOLIN_SAMPLE_WAYLAND};
        for (auto& [app, title] : views) argv.insert(argv.end(), {"--view", app, title});
        auto p = headless::Process::spawn(argv, {env, false, true});
        EXPECT_EQ(p->readLine(10s), "ready");
        return p;
    }
    // The compositor's windows, by title, once there are `count` of them.
    std::map<std::string, json> shown(size_t count) {
        std::map<std::string, json> byTitle;
        EXPECT_TRUE(waitFor([&] {
            byTitle.clear();
            for (const json& w : windows()) byTitle[w["title"]] = w;
            return byTitle.size() == count;
        })) << windows().dump();
        return byTitle;
    }
    // The window now; null once it is gone.
    json now(const json& w) {
        for (const json& n : windows())
            if (n["id"] == w["id"]) return n;
        return json();
    }
    static std::string number(const json& w) {
        return std::to_string(compositor::windowNumber(w["id"].get<std::string>()));
    }
    json listed() { return json::parse(ctl({"windows", "--json"}, env).out, nullptr, false); }
    // The agent with its output at hand, once it is up and has taken what was waiting.
    void startJoinedAgent() {
        agent = spawnJoined({TARVOLIN_AGENT}, env);
        ASSERT_EQ(ctl({"json", R"({"cmd":"barrier"})", "--force"}, env).status, 0);
        ASSERT_TRUE(waitFor([&] {
            return ctl({"pasteboard", "show"}, env).out.find('"') == std::string::npos;
        }));
    }
    // Another program's connection to the compositor's session bus; null when it cannot connect.
    using Bus = std::unique_ptr<sd_bus, decltype(&sd_bus_flush_close_unref)>;
    static Bus otherProgram(const std::string& address) {
        sd_bus* bus = nullptr;
        if (sd_bus_new(&bus) < 0) return Bus(nullptr, &sd_bus_flush_close_unref);
        Bus owned(bus, &sd_bus_flush_close_unref);
        sd_bus_set_address(bus, address.c_str());
        sd_bus_set_bus_client(bus, 1);
        if (sd_bus_start(bus) < 0) owned.reset();
        return owned;
    }
    // Raised through the agent, as the compositor then shows it.
    void raised(const json& w) {
        ASSERT_EQ(ctl({"raise", number(w)}, env).status, 0);
        EXPECT_TRUE(waitFor([&] { return now(w)["focused"] == true; })) << w["title"];
    }
    // The agent's status once the compositor is gone, and what it said.
    std::pair<int, std::string> agentEnd() {
        auto status = agent->wait(10s);
        std::string out;
        while (auto line = agent->readLine(1s)) out += *line + "\n";
        agent.reset();
        return {status ? headless::Process::exitCode(*status) : -1, out};
    }
    std::unique_ptr<headless::Process> watch() {
        auto w = spawnJoined({TARVOLINCTL, "watch"}, env);
        EXPECT_EQ(w->readLine(10s), "tarvolinctl: watching");
        return w;
    }

    // Wayland windows, an X one and an X dock: every ordinary window as the compositor shows
    // it, a 4,000-character title with a line break included, and the key labels.
    void inventoryWithKeyLabels() {
        const std::string longTitle = "first line\nsecond line " + std::string(4000, 'x');
        auto notes = wayland({{"notes", "Note A"}, {"notes", longTitle}});
        auto editor = wayland({{"org.example.editor", "Editor"}});
        auto x =
            headless::Process::spawn({TARVOLIN_SAMPLE_WINDOWS, "--window", "--title", "X Term", "--class",
                                      "xterm:XTerm", "--window", "--type", "dock", "--title", "Dock"},
                                     {env, true, true});
        ASSERT_TRUE(x->readLine(20s).value_or("").starts_with("ready"));
        auto byTitle = shown(4);
        ASSERT_EQ(ctl({"keys", "set", "notes", "n1", "n2"}, env).status, 0);

        // The compositor may place a window after it first shows it: the two views are compared
        // once the frames agree (or, when they never do, as they were last).
        auto frame = [](const json& entry) {
            return json{{"x", entry["x"]}, {"y", entry["y"]}, {"w", entry["width"]}, {"h", entry["height"]}};
        };
        json list;
        waitFor([&] {
            byTitle = shown(4);
            list = listed();
            return list.is_array() && std::all_of(list.begin(), list.end(), [&](const json& entry) {
                       const auto w = byTitle.find(entry.value("title", ""));
                       return w != byTitle.end() && frame(entry) == w->second.value("frame", json::object());
                   });
        });
        ASSERT_TRUE(list.is_array()) << list.dump();
        ASSERT_EQ(list.size(), 4u) << "no dock: " << list.dump();
        std::map<std::string, std::string> keys;
        std::string longShown;
        for (const json& entry : list) {
            const std::string title = entry["title"];
            ASSERT_TRUE(byTitle.count(title)) << title;
            const json& w = byTitle[title];
            EXPECT_EQ(std::to_string(entry["winId"].get<std::int64_t>()), number(w)) << title;
            EXPECT_EQ(entry["pid"], w["pid"]) << title;
            EXPECT_EQ(entry["appName"], w["app"]) << title;
            EXPECT_EQ(frame(entry), w["frame"]) << title;
            keys[title] = entry["key"];
            if (title.starts_with("first line")) longShown = title;
        }
        EXPECT_EQ(keys["Editor"], "");
        EXPECT_EQ(keys["X Term"], "");
        // The long title whole, as the compositor shows it.
        EXPECT_EQ(longShown.size(), longTitle.size()) << longShown;
        EXPECT_EQ(
            keys["Note A"] + keys[longShown],
            std::stoll(number(byTitle["Note A"])) < std::stoll(number(byTitle[longShown])) ? "n1n2" : "n2n1");
    }

    // A raise onto another workspace with --activate, one of a minimised window through the
    // defaults, a close, a quit, and a closed window's number refused rather than passed on.
    void raiseCloseAndQuit() {
        auto notes = wayland({{"notes", "Note A"}, {"notes", "Note B"}});
        auto editor = wayland({{"org.example.editor", "Editor"}});
        auto byTitle = shown(3);
        const json a = byTitle["Note A"], b = byTitle["Note B"];
        ASSERT_NO_FATAL_FAILURE(secondWorkspaceAndMinimised(a, b));
        startAgent(env, agent);
        auto watcher = watch();

        ASSERT_EQ(ctl({"raise", number(a), "--activate", "org.example.editor"}, env).status, 0);
        EXPECT_EQ(watcher->readLine(10s), R"(darwin "FinderBack")");
        EXPECT_TRUE(waitFor([&] { return now(a)["focused"] == true; })) << now(a).dump();
        EXPECT_EQ(currentWorkspace(), 1);

        ASSERT_EQ(ctl({"raise", number(b), "--channel", "defaults"}, env).status, 0);
        EXPECT_EQ(watcher->readLine(10s), R"(darwin "FinderBack")");
        EXPECT_TRUE(waitFor([&] { return now(b)["focused"] == true; })) << now(b).dump();
        EXPECT_EQ(now(b)["minimized"], false);
        EXPECT_EQ(currentWorkspace(), 0);

        ASSERT_EQ(ctl({"close", number(b)}, env).status, 0);
        EXPECT_EQ(notes->readLine(10s), "close notes Note B");
        ASSERT_EQ(ctl({"quit", "org.example.editor"}, env).status, 0);
        EXPECT_EQ(editor->readLine(10s), "close org.example.editor Editor");
        bool hello = false;
        while (auto line = watcher->readLine(10s))
            if ((hello = *line == R"(distributed "HelloFromProcessOne")")) break;
        EXPECT_TRUE(hello);
        EXPECT_TRUE(waitFor([&] { return now(b).is_null(); }));
        ctl({"close", number(b)}, env);
        EXPECT_TRUE(waitFor([&] {
            return ctl({"pasteboard", "show"}, env).out.find('"') == std::string::npos;
        }));
        EXPECT_FALSE(notes->readLine(300ms)) << "Note A must stay";
        EXPECT_TRUE(now(a).is_object());
    }

    // Through the window's element, in this process: each change as the compositor then shows
    // it; a quit within the turn of a look that still shows a window gone since; nothing
    // answered once the compositor is gone.
    void elementMovesResizesAndMinimises() {
        auto notes = wayland({{"notes", "Note A"}});
        const json w = shown(1)["Note A"];
        ::setenv("XDG_RUNTIME_DIR", (dir + "/run").c_str(), 1);
        LocalNotificationCenter center;
        std::string error;
        auto desktop = connect(center, error);
        ASSERT_TRUE(desktop) << error;
        auto app = desktop->accessibility().createApplication(notes->pid());
        auto all = ax::copyAttributeValue(app, kAXWindowsAttribute).value.value_or(Value::array({}));
        ASSERT_EQ(all.asArray()->size(), 1u);
        const AXElement& e = *all.asArray()->front().asElement();
        // A maximised window moves too (unmaximised first).
        ASSERT_NO_FATAL_FAILURE(maximise(w));
        ASSERT_TRUE(waitFor([&] { return now(w)["frame"]["w"] != w["frame"]["w"]; })) << now(w).dump();
        ASSERT_EQ(ax::setAttributeValue(e, kAXPositionAttribute, AXValue::point({40, 30})), AXError::success);
        EXPECT_TRUE(waitFor([&] { return now(w)["frame"]["x"] == 40 && now(w)["frame"]["y"] == 30; }))
            << now(w).dump();
        EXPECT_EQ(ax::setAttributeValue(e, kAXPositionAttribute, AXValue::point({40, 30})), AXError::success);
        EXPECT_EQ(ax::setAttributeValue(e, kAXSizeAttribute, AXValue::size({200, 100})), AXError::success);
        EXPECT_TRUE(waitFor([&] {
            const json g = now(w)["frame"];
            return g["x"] == 40 && g["y"] == 30 && g["w"] == 200 && g["h"] == 100;
        })) << now(w).dump();
        EXPECT_EQ(ax::setAttributeValue(e, kAXMinimizedAttribute, Value::boolean(true)), AXError::success);
        EXPECT_EQ(now(w)["minimized"], true);
        EXPECT_EQ(ax::setAttributeValue(e, kAXMinimizedAttribute, Value::boolean(false)), AXError::success);
        EXPECT_EQ(now(w)["minimized"], false);
        std::vector<std::function<void()>> turnEnd;
        desktop->endTurnsWith([&](std::function<void()> task) { turnEnd.push_back(std::move(task)); });
        ASSERT_EQ(desktop->windows().copyWindowInfo(0, 0)->size(), 1u);
        notes.reset();
        ASSERT_TRUE(waitFor([&] { return now(w).is_null(); }));
        desktop->processEvents();  // the run loop has read the news meanwhile
        const ScriptResult quit = desktop->scripts().executeScript(R"(tell the application "notes" to quit)");
        EXPECT_TRUE(quit.ok) << quit.error;
        stopCompositor();
        EXPECT_TRUE(waitFor([&] { return !desktop->processEvents(); }));
        EXPECT_EQ(ax::copyAttributeValue(app, kAXTitleAttribute).error, AXError::cannotComplete);
    }

    std::unique_ptr<headless::Process> agent;
    std::string dir;
    std::vector<std::string> env;
};

}  // namespace tarvolin::testing
