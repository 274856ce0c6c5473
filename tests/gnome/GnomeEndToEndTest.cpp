// The agent on a private headless GNOME Shell with the agent's extension: Wayland and X clients,
// the session bus and the files, commanded through the companion program as a user would, and
// checked against what the Shell itself reports to the harness's own look into it.
#include "../e2e/CompositorEndToEnd.h"
#include "platform/linux/gnome/GnomeDesktop.h"
#include "tools/headless/HeadlessGnome.h"

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

namespace tarvolin::testing {
namespace {

namespace fs = std::filesystem;
using headless::Process;
using nlohmann::json;

class GnomeEndToEnd : public CompositorEndToEnd {
protected:
    // The Shell with the extensions as built (the one for its version loads), or as `change`
    // leaves a copy of their files; `before`, extension directories enabled before them.
    void startShell(const std::vector<std::string>& disabled = {},
                    const std::function<void(const fs::path& extension)>& change = {},
                    const std::vector<std::string>& before = {}) {
        if (dir.empty()) makeDir("tarvolin-gnome-e2e");
        headless::GnomeOptions options;
        options.disabled = disabled;
        options.extensions = before;
        // A package's test: the extensions it installed, else the ones built here.
        if (const char* packaged = std::getenv("TARVOLIN_TEST_PACKAGED"); packaged && *packaged)
            options.systemExtensions = {"tarvolin@tarvolin.org", "tarvolin-legacy@tarvolin.org"};
        for (const auto& built : fs::directory_iterator(TARVOLIN_GNOME_EXTENSIONS)) {
            if (!options.systemExtensions.empty()) break;
            const fs::path copy = fs::path(dir) / "extensions" / built.path().filename();
            fs::create_directories(copy.parent_path());
            fs::copy(built.path(), copy, fs::copy_options::recursive);
            if (change) change(copy);
            if (fs::exists(copy)) options.extensions.push_back(copy.string());
        }
        shell = startCompositor<headless::HeadlessGnome>(options);
        ASSERT_TRUE(shell);
    }

    // The Shell's application for the window, else its class, as the agent names it.
    json windows() override {
        json out = shell->windows();
        for (json& w : out) {
            const std::string app = w["app"];
            w["app"] = app.starts_with("window:") ? w["wmClass"].get<std::string>()
                                                  : app.substr(0, app.rfind(".desktop"));
        }
        return out;
    }
    void secondWorkspaceAndMinimised(const json& a, const json& b) override {
        ASSERT_EQ(shell->eval("for (const w of global.display.list_all_windows()) {"
                              " if (String(w.get_id()) === '" +
                              a["id"].get<std::string>() +
                              "') w.change_workspace_by_index(1, false);"
                              " if (String(w.get_id()) === '" +
                              b["id"].get<std::string>() + "') w.minimize(); } return 1;"),
                  1)
            << shell->lastError();
        ASSERT_TRUE(shell->setActiveWorkspace(0)) << shell->lastError();
    }
    int currentWorkspace() override { return shell->activeWorkspace(); }
    std::unique_ptr<DesktopBackend> connect(NotificationCenter& center, std::string& error) override {
        ::setenv("DBUS_SESSION_BUS_ADDRESS", shell->busAddress().c_str(), 1);
        return GnomeDesktop::connect(center, error);
    }
    void stopCompositor() override { shell->stop(); }
    void maximise(const json& w) override {
        ASSERT_EQ(
            shell->eval("for (const w of global.display.list_all_windows())"
                        " if (String(w.get_id()) === '" +
                        w["id"].get<std::string>() + "') w.maximize(Meta.MaximizeFlags.BOTH); return 1;"),
            1)
            << shell->lastError();
    }

    std::unique_ptr<headless::HeadlessGnome> shell;
};

TEST_F(GnomeEndToEnd, TheInventoryIsWhatTheShellShowsWithKeyLabels) {
    ASSERT_NO_FATAL_FAILURE(startShell());
    inventoryWithKeyLabels();
}

TEST_F(GnomeEndToEnd, RaiseCloseAndQuitActOnTheWindowMeant) {
    ASSERT_NO_FATAL_FAILURE(startShell());
    raiseCloseAndQuit();
    // Each with the time of the event that asked for it: with none, Mutter refuses its ping.
    EXPECT_EQ(shell->log().find("bad serial"), std::string::npos) << shell->log();
}

TEST_F(GnomeEndToEnd, AWindowMovesResizesAndMinimisesThroughItsElement) {
    ASSERT_NO_FATAL_FAILURE(startShell());
    elementMovesResizesAndMinimises();
}

// A second agent works at once after the first was killed; the Shell gone ends it, saying so
// (the extension disabled for good: the transport's own test).
TEST_F(GnomeEndToEnd, TheAgentRestartsAtOnceAndEndsWithTheShell) {
    ASSERT_NO_FATAL_FAILURE(startShell());
    auto notes = wayland({{"notes", "Note A"}, {"notes", "Note B"}});
    auto byTitle = shown(2);
    startAgent(env, agent);
    ::kill(agent->pid(), SIGKILL);
    agent->wait(10s);
    ASSERT_NO_FATAL_FAILURE(startJoinedAgent());
    for (const char* title : {"Note A", "Note B"}) ASSERT_NO_FATAL_FAILURE(raised(byTitle[title]));
    shell->stop();
    const auto [status, out] = agentEnd();
    EXPECT_EQ(status, 1);
    EXPECT_NE(out.find("lost the connection to the desktop"), std::string::npos) << out;
}

// GNOME disables the agent's extension and enables it again whenever another one enabled before it
// is switched off (and at a screen lock): a pause for the agent, not an end.
TEST_F(GnomeEndToEnd, AnotherExtensionSwitchedOffAndOnIsAPause) {
    makeDir("tarvolin-gnome-e2e");
    // In both styles, as the agent's: the Shell loads the one for its version.
    std::vector<std::string> others;
    for (const auto& [uuid, versions, text] :
         {std::tuple{"other-legacy@tarvolin.invalid", R"(["43", "44"])",
                     "function init() {}\nfunction enable() {}\nfunction disable() {}\n"},
          std::tuple{"other@tarvolin.invalid", R"(["45", "46", "47", "48", "49"])",
                     "export default class { enable() {} disable() {} }\n"}}) {
        const fs::path other = fs::path(dir) / "other" / uuid;
        fs::create_directories(other);
        std::ofstream(other / "metadata.json")
            << R"({"uuid": ")" << uuid << R"(", "name": "Other", "description": "another",)"
            << R"( "shell-version": )" << versions << "}";
        std::ofstream(other / "extension.js") << text;
        others.push_back(other.string());
    }
    // The agent's enabled last, so that it comes after the other whatever order the Shell takes.
    const std::vector<std::string> ours{"tarvolin@tarvolin.org", "tarvolin-legacy@tarvolin.org"};
    ASSERT_NO_FATAL_FAILURE(startShell(ours, {}, others));
    ASSERT_EQ(shell->eval("for (const uuid of ['tarvolin@tarvolin.org', 'tarvolin-legacy@tarvolin.org'])"
                          " Main.extensionManager.enableExtension(uuid); return 1;"),
              1)
        << shell->lastError();
    ASSERT_TRUE(waitFor([&] {
        return shell->extensionInfo("tarvolin@tarvolin.org").value("state", 0.0) == 1 ||
               shell->extensionInfo("tarvolin-legacy@tarvolin.org").value("state", 0.0) == 1;
    }));
    auto notes = wayland({{"notes", "Note A"}, {"notes", "Note B"}});
    auto byTitle = shown(2);
    ASSERT_NO_FATAL_FAILURE(startJoinedAgent());
    for (auto [verb, title] : {std::pair{"disable", "Note A"}, {"enable", "Note B"}, {"disable", "Note A"}}) {
        SCOPED_TRACE(verb);
        ASSERT_EQ(shell->eval(std::string("for (const uuid of ['other@tarvolin.invalid',"
                                          " 'other-legacy@tarvolin.invalid']) Main.extensionManager.") +
                              verb + "Extension(uuid); return 1;"),
                  1)
            << shell->lastError();
        ASSERT_NO_FATAL_FAILURE(raised(byTitle[title]));
    }
    // It did go away meanwhile, and the agent said so.
    bool said = false;
    while (auto line = agent->readLine(10s))
        if ((said = line->find("the GNOME Shell extension stopped") != std::string::npos)) break;
    EXPECT_TRUE(said);
}

// Only the agent's own programs may call the extension or hear it: a program that owns no name of
// theirs is refused by every method, and hears none of the changes the agent hears.
TEST_F(GnomeEndToEnd, AForeignCallerIsRefusedAndHearsNothing) {
    ASSERT_NO_FATAL_FAILURE(startShell());
    auto notes = wayland({{"notes", "Note A"}});
    const json a = shown(1)["Note A"];
    ASSERT_NO_FATAL_FAILURE(startAgent(env, agent));
    const Bus owned = otherProgram(shell->busAddress());
    ASSERT_TRUE(owned);
    sd_bus* bus = owned.get();
    int heard = 0;
    ASSERT_GE(sd_bus_add_match(
                  bus, nullptr, "type='signal',path='/org/tarvolin/Shell'",
                  [](sd_bus_message*, void* count, sd_bus_error*) { return ++*static_cast<int*>(count), 0; },
                  &heard),
              0);
    const std::string id = a["id"];
    const std::pair<const char*, std::function<int(sd_bus_message*)>> calls[] = {
        {"List", [](sd_bus_message*) { return 0; }},
        {"Activate", [&](sd_bus_message* m) { return sd_bus_message_append(m, "as", 1, id.c_str()); }},
        {"Close", [&](sd_bus_message* m) { return sd_bus_message_append(m, "as", 1, id.c_str()); }},
        {"SetFrame",
         [&](sd_bus_message* m) { return sd_bus_message_append(m, "siiii", id.c_str(), 1, 2, 300, 200); }},
        {"Minimise", [&](sd_bus_message* m) { return sd_bus_message_append(m, "sb", id.c_str(), 1); }},
        {"Choose",
         [](sd_bus_message* m) { return sd_bus_message_append(m, "asasu", 1, "row", 1, "", 1000u); }},
    };
    for (const auto& [method, args] : calls) {
        sd_bus_message* raw = nullptr;
        ASSERT_GE(sd_bus_message_new_method_call(bus, &raw, "org.gnome.Shell", "/org/tarvolin/Shell",
                                                 "org.tarvolin.Shell", method),
                  0);
        std::unique_ptr<sd_bus_message, decltype(&sd_bus_message_unref)> m(raw, &sd_bus_message_unref);
        ASSERT_GE(args(raw), 0);
        sd_bus_error e{};  // SD_BUS_ERROR_NULL, without its C compound literal
        EXPECT_LT(sd_bus_call(bus, raw, 0, &e, nullptr), 0) << method;
        EXPECT_TRUE(sd_bus_error_has_name(&e, SD_BUS_ERROR_ACCESS_DENIED))
            << method << ": " << (e.name ? e.name : "");
        sd_bus_error_free(&e);
    }
    EXPECT_EQ(now(a)["minimized"], false);
    // A window the agent learns of from the extension alone, then raised through the agent.
    auto more = wayland({{"notes", "Note B"}});
    const json b = shown(2)["Note B"];
    ASSERT_NO_FATAL_FAILURE(raised(a));
    ASSERT_NO_FATAL_FAILURE(raised(b));
    // Whatever was sent to this connection is here after a round trip.
    sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetId",
                       nullptr, nullptr, "");
    while (sd_bus_process(bus, nullptr) > 0) {
    }
    EXPECT_EQ(heard, 0);
}

// Where the extension does not answer, the agent says why in the Shell's words and how to
// mend it, and exits 1.
TEST_F(GnomeEndToEnd, AnExtensionThatDoesNotAnswerIsNamedWithTheShellsOwnState) {
    auto replace = [](const fs::path& file, const std::string& from, const std::string& to) {
        std::ifstream in(file);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const auto at = text.find(from);
        ASSERT_NE(at, std::string::npos) << file << " lacks " << from;
        std::ofstream(file) << text.replace(at, from.size(), to);
    };
    const struct {
        const char* what;
        std::function<void(const fs::path&)> change;
        std::vector<std::string> said;
    } cases[] = {
        {"not installed",
         [](const fs::path& e) { fs::remove_all(e); },
         {"the Shell does not know it", "log out and in", "gnome-extensions enable tarvolin"}},
        {"failing at enable",
         [&](const fs::path& e) {
             replace(e / "service.js", "    start() {",
                     "    start() { throw new Error('broken on purpose');");
         },
         {"(ERROR)", "broken on purpose", "journalctl"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_NO_FATAL_FAILURE(startShell({}, c.change));
        const RunResult r = finish(*spawnJoined({TARVOLIN_AGENT}, env), 20s);
        EXPECT_EQ(r.status, 1) << r.out;
        for (const std::string& text : c.said) EXPECT_NE(r.out.find(text), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("GNOME"), std::string::npos) << r.out;
        shell.reset();
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
}

// tarvolinctl switch on GNOME, where no menu program gets the keyboard: the list the extension
// draws in the Shell, typed at with real key events. A label and Enter pick its window; Escape
// sends nothing.
TEST_F(GnomeEndToEnd, TheSwitcherShowsTheShellsOwnListAndATypedLabelRaisesItsWindow) {
    ASSERT_NO_FATAL_FAILURE(startShell());
    std::vector<std::unique_ptr<Process>> clients;
    for (auto [app, title] : kMenuApps) clients.push_back(wayland({{app, title}}));
    auto byTitle = shown(std::size(kMenuApps));
    ASSERT_NO_FATAL_FAILURE(labelMenuApps(env));
    ASSERT_NO_FATAL_FAILURE(startAgent(env, agent));
    // A menu program on the PATH is not the default here.
    fs::create_directories(dir + "/bin");
    std::ofstream(dir + "/bin/rofi") << "#!/bin/sh\nexit 3\n";
    ::chmod((dir + "/bin/rofi").c_str(), 0755);
    env.insert(env.end(),
               {"PATH=" + dir + "/bin:/usr/bin:/bin", "HOME=" + dir, "XDG_CACHE_HOME=" + dir + "/cache"});
    auto listOpen = [&] {
        return shell->eval(
                   "return Main.modalCount > 0 && global.stage.get_key_focus() instanceof Clutter.Text;") ==
               true;
    };
    for (auto [typed, chosen, keys] : {std::tuple{"n1", 0, "49 2"}, {"n10", 1, "49 2 11"}, {"", -1, "1"}}) {
        SCOPED_TRACE(typed);
        auto switcher = spawnJoined({TARVOLINCTL, "switch", "--timeout", "30"}, env);
        ASSERT_TRUE(waitFor(listOpen, 30s)) << "the list never took the keyboard";
        EXPECT_TRUE(shell->keys(keys)) << shell->lastError();
        if (chosen >= 0) {
            EXPECT_TRUE(shell->keys("28")) << shell->lastError();
        }
        const RunResult r = finish(*switcher, 40s);
        if (chosen < 0) {
            EXPECT_EQ(r.status, 1) << r.out;
            continue;
        }
        EXPECT_EQ(r.status, 0) << r.out;
        const json& want = byTitle[kMenuApps[chosen].second];
        EXPECT_TRUE(waitFor([&] { return now(want)["focused"] == true; })) << shell->windows().dump();
    }
    // A list the Shell cannot show (another modal holds the keyboard) is an error, not a choice,
    // and leaves nothing on the screen.
    ASSERT_EQ(shell->eval("ModalDialog.ModalDialog.prototype.open = () => false; return 1;"), 1)
        << shell->lastError();
    const RunResult refused = finish(*spawnJoined({TARVOLINCTL, "switch", "--timeout", "30"}, env), 40s);
    EXPECT_EQ(refused.status, 1) << refused.out;
    EXPECT_NE(refused.out.find("did not show the list"), std::string::npos) << refused.out;
    EXPECT_EQ(shell->eval("const ours = (a) => (a.has_style_class_name?.('tarvolin-chooser') ? 1 : 0) +"
                          "     a.get_children().reduce((n, c) => n + ours(c), 0);"
                          " return Main.modalCount + ours(Main.layoutManager.modalDialogGroup);"),
              0);
}

}  // namespace
}  // namespace tarvolin::testing
