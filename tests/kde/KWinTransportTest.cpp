// The KDE transport against KWin's scripting interface as the test plays it, script included:
// what the agent does when KWin or its script does what a working KWin seldom shows.
#include "platform/linux/kde/KWinDesktop.h"
#include "tests/linux/FakePeer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <systemd/sd-bus.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <mutex>
#include <regex>
#include <thread>

namespace tarvolin::test {
namespace {

using nlohmann::json;
using ::testing::HasSubstr;

// org.kde.KWin's /Scripting on a private bus; a script it starts is played here too: it reports one
// window and takes commands as the agent's script does, or as told.
class FakeKWin {
public:
    std::atomic<bool> refuseLoad = false, refuseStart = false, mute = false, firstNext = true;
    // What the script answers a command with; it stops calling after one when `silent` is set.
    std::function<json(const json& command)> answer = [](const json& c) {
        return json{{"n", c["n"]}, {"done", true}};
    };
    std::atomic<bool> silent = false;
    std::atomic<int> loads = 0, unloads = 0, commands = 0;

    // A call to the agent as a script makes it (from KWin's name, else from another program's); its
    // answer's error name, "" for none, lands in answers().
    void callAgent(const char* method, const std::string& message, bool fromAnother = false) {
        (fromAnother ? other_ : peer_).withBus([&](sd_bus* bus) {
            return sd_bus_call_method_async(
                bus, nullptr, agent_.c_str(), "/org/tarvolin/KWin", "org.tarvolin.KWin", method,
                [](sd_bus_message* m, void* self, sd_bus_error*) {
                    const sd_bus_error* e = sd_bus_message_get_error(m);
                    auto* k = static_cast<FakeKWin*>(self);
                    std::lock_guard lock(k->answersMutex_);
                    k->answers_.push_back(e && e->name ? e->name : "");
                    return 0;
                },
                this, "s", message.c_str());
        });
    }
    std::vector<std::string> answers() {
        std::lock_guard lock(answersMutex_);
        return answers_;
    }
    std::string token() const { return token_; }
    std::string path() {
        return peer_.withBus([&](sd_bus*) { return path_; });
    }

private:
    static int onLoad(sd_bus_message* m, void* self, sd_bus_error*) {
        auto* k = static_cast<FakeKWin*>(self);
        const char *path = nullptr, *name = nullptr;
        sd_bus_message_read(m, "ss", &path, &name);
        k->path_ = path;
        ++k->loads;
        return sd_bus_reply_method_return(m, "i", k->refuseLoad ? -1 : 0);
    }
    static int onUnload(sd_bus_message* m, void* self, sd_bus_error*) {
        ++static_cast<FakeKWin*>(self)->unloads;
        return sd_bus_reply_method_return(m, "b", 1);
    }
    static int onStart(sd_bus_message* m, void* self, sd_bus_error* e) {
        auto* k = static_cast<FakeKWin*>(self);
        if (k->refuseStart) return sd_bus_error_set(e, SD_BUS_ERROR_FAILED, "no");
        // The script: whom to call and its token are its first lines.
        const std::string text = contents(k->path_);
        std::smatch name, token;
        std::regex_search(text, name, std::regex("agentBusName = \"([^\"]*)\""));
        std::regex_search(text, token, std::regex("agentToken = \"([^\"]*)\""));
        k->agent_ = name[1];
        k->token_ = token[1];
        k->silent = false;
        if (k->mute) return sd_bus_reply_method_return(m, "");
        k->send(m, "Event", json::parse(R"({"hello": 5, "active": "{a}", "windows": [{"id": "{a}", "pid": 42,
            "title": "A", "app": "notes", "minimised": false, "desktop": "1", "close": true, "move": true,
            "minimise": true, "frame": {"x": 10, "y": 20, "w": 300, "h": 200}}],
            "screens": [{"x": 0, "y": 0, "w": 1280, "h": 800}]})"));
        if (k->firstNext) k->send(m, "Next", json::object());
        return sd_bus_reply_method_return(m, "");
    }
    static int onNext(sd_bus_message* m, void* self, sd_bus_error*) {
        auto* k = static_cast<FakeKWin*>(self);
        const char* text = nullptr;
        if (sd_bus_message_is_method_error(m, nullptr) || sd_bus_message_read(m, "s", &text) < 0) return 0;
        const json command = json::parse(text);
        if (!command.contains("n")) {
            if (!k->silent) k->send(m, "Next", json::object());
            return 0;
        }
        ++k->commands;
        if (!k->silent) k->send(m, "Next", k->answer(command));
        return 0;
    }
    void send(sd_bus_message* from, const char* method, json message) {
        message["token"] = token_;
        sd_bus_call_method_async(sd_bus_message_get_bus(from), nullptr, agent_.c_str(), "/org/tarvolin/KWin",
                                 "org.tarvolin.KWin", method,
                                 std::string_view(method) == "Next" ? &FakeKWin::onNext : nullptr, this, "s",
                                 message.dump().c_str());
    }

    std::string path_, agent_, token_;
    std::mutex answersMutex_;  // the answers come on two threads
    std::vector<std::string> answers_;
    FakePeer other_{"org.example.Other", [](sd_bus*) {}};
    FakePeer peer_{"org.kde.KWin", [this](sd_bus* bus) {
                       static const sd_bus_vtable table[] = {
                           SD_BUS_VTABLE_START(0),
                           SD_BUS_METHOD("loadScript", "ss", "i", &FakeKWin::onLoad, 0),
                           SD_BUS_METHOD("unloadScript", "s", "b", &FakeKWin::onUnload, 0),
                           SD_BUS_METHOD("start", "", "", &FakeKWin::onStart, 0),
                           SD_BUS_VTABLE_END,
                       };
                       sd_bus_add_object_vtable(bus, nullptr, "/Scripting", "org.kde.kwin.Scripting", table,
                                                this);
                   }};  // last: its thread ends before the rest goes
};

// Until `done` holds; false when the deadline, there only so that a broken test cannot hang, passes.
bool waitFor(const std::function<bool()>& done, std::chrono::seconds deadline = 20s) {
    for (auto end = std::chrono::steady_clock::now() + deadline; std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(5ms))
        if (done()) return true;
    return false;
}

class KWinTransport : public PeerTransportTest {
protected:
    TempDir run;
    ScopedEnv runtime{"XDG_RUNTIME_DIR", run.path().string()};
    ScopedEnv noWayland{"WAYLAND_DISPLAY", "/nonexistent"};  // KWin 5's output order: none here

    std::unique_ptr<DesktopBackend> connect(std::string& error) {
        return logged(KWinDesktop::connect(KWinDesktop::Role::observer, center, error));
    }
};

// KWin refusing the script, or dropping it (as it does one with an error), is said; the script is
// unloaded as the agent gives up.
TEST_F(KWinTransport, AScriptKWinRefusesOrDropsIsSaid) {
    for (const std::string how : {"load", "start", "mute", "unreadable", "open to others"}) {
        FakeKWin kwin;
        (how == "load" ? kwin.refuseLoad : how == "start" ? kwin.refuseStart : kwin.mute) = true;
        ScopedEnv script("TARVOLIN_KWIN_SCRIPT", how == "unreadable" ? "/nonexistent" : "");
        // The script's folder: anyone who could write there could write the agent's script.
        TempDir open;
        std::filesystem::create_directory(open.path() / "tarvolin-kwin");
        std::filesystem::permissions(open.path() / "tarvolin-kwin", std::filesystem::perms::all);
        ScopedEnv where("XDG_RUNTIME_DIR", (how == "open to others" ? open : run).path().string());
        std::string error;
        EXPECT_FALSE(connect(error));
        EXPECT_THAT(error,
                    HasSubstr(how == "load"         ? "would not load its script"
                              : how == "start"      ? "KWin refused start"
                              : how == "unreadable" ? "cannot read the KWin script /nonexistent"
                              : how == "mute"       ? "did not call the agent within 5 s"
                                                    : "refusing " + (open.path() / "tarvolin-kwin").string()))
            << how;
        if (how == "mute") {
            EXPECT_EQ(kwin.unloads, 2) << "a copy left before, then its own, dropped";
        }
    }
}

// Calls from KWin's name without the token of the last load are refused; so is a second waiting
// call; an answer that does not read counts as not done, and the agent goes on.
TEST_F(KWinTransport, OnlyItsOwnScriptFeedsItAndAnOddAnswerEndsNothing) {
    FakeKWin kwin;
    std::string error;
    auto d = connect(error);
    ASSERT_TRUE(d) << error;
    const std::string forged = R"({"hello": 5, "windows": [])";
    kwin.callAgent("Event", forged + "}");
    kwin.callAgent("Event", "{not JSON");
    kwin.callAgent("Event", forged + R"(, "token": 7})");
    kwin.callAgent("Next", json{{"token", kwin.token()}}.dump());
    // Another program of the session, token and all.
    kwin.callAgent("Event", forged + R"(, "token": ")" + kwin.token() + "\"}", true);
    ASSERT_TRUE(waitFor([&] { return d->processEvents() && kwin.answers().size() == 5; }));
    const auto answers = kwin.answers();
    EXPECT_EQ(std::count(answers.begin(), answers.end(), SD_BUS_ERROR_ACCESS_DENIED), 4);
    EXPECT_EQ(std::count(answers.begin(), answers.end(), "org.tarvolin.KWin.Error.Busy"), 1);
    EXPECT_EQ(d->windows().copyWindowInfo(0, 0)->size(), 1u) << "the forged list changed nothing";
    // Once for each caller: KWin's name and the other program's.
    const std::string all = said();
    const std::regex refusal("refused a call from");
    EXPECT_EQ(std::distance(std::sregex_iterator(all.begin(), all.end(), refusal), {}), 2) << all;
    EXPECT_THAT(said(), HasSubstr("refused a second waiting call"));

    kwin.answer = [](const json& c) { return json{{"n", c["n"]}, {"done", "yes"}}; };
    EXPECT_EQ(raise(*d), AXError::cannotComplete);
    EXPECT_THAT(said(), HasSubstr("in a form the agent cannot read"));
    kwin.answer = [](const json& c) { return json{{"n", c["n"]}, {"done", true}}; };
    const auto trips = d->roundTrips();
    EXPECT_EQ(raise(*d), AXError::success);
    d->windows().copyWindowInfo(0, 0);
    EXPECT_EQ(d->roundTrips(), trips + 1) << "a call a command, nothing for a look at an unchanged desktop";
    EXPECT_EQ(kwin.loads, 1);
}

// A script that stops calling is loaded again and the command that found it so is sent to the new
// one; when it cannot be loaded again, the desktop is lost, saying why.
TEST_F(KWinTransport, AScriptThatStopsCallingIsLoadedAgainOrTheDesktopIsLost) {
    FakeKWin kwin;
    std::string error;
    auto d = connect(error);
    ASSERT_TRUE(d) << error;
    kwin.silent = true;
    EXPECT_EQ(raise(*d), AXError::success);
    EXPECT_EQ(kwin.loads, 2);
    EXPECT_EQ(kwin.commands, 2) << "the same command, to the script loaded again";
    EXPECT_THAT(said(), HasSubstr("stopped calling the agent"));
    EXPECT_THAT(said(), HasSubstr("is back"));

    kwin.silent = true;
    kwin.refuseLoad = true;
    EXPECT_EQ(raise(*d), AXError::cannotComplete);
    EXPECT_TRUE(waitFor([&] { return !d->processEvents(); }));
    EXPECT_THAT(said(), HasSubstr("could not be loaded again"));
    EXPECT_THAT(said(), HasSubstr("would not load its script"));
}

// Idle, the script's waiting call is answered before QtDBus gives it up (25 s), and a script that
// does not call again then, or never after its list, is loaded again, with no command to find it so.
TEST_F(KWinTransport, AnIdleScriptIsAnsweredInTimeAndLoadedAgainWhenItFallsSilent) {
    for (const bool firstNext : {true, false}) {
        FakeKWin kwin;
        kwin.firstNext = firstNext;
        std::string error;
        auto d = connect(error);
        ASSERT_TRUE(d) << error;
        kwin.silent = true;
        EXPECT_TRUE(waitFor([&] { return d->processEvents() && kwin.loads == 2; }, 40s)) << firstNext;
        EXPECT_THAT(said(), HasSubstr("stopped calling the agent"));
        EXPECT_EQ(kwin.commands, 0);
    }
}

// Without a runtime folder the script goes to a folder of the user's own under /tmp.
TEST_F(KWinTransport, WithoutARuntimeFolderTheScriptIsWrittenUnderTmp) {
    const std::string own = "/tmp/tarvolin-kwin-" + std::to_string(::geteuid());
    const bool there = std::filesystem::exists(own);
    ScopedEnv none("XDG_RUNTIME_DIR", "");
    FakeKWin kwin;
    std::string error;
    EXPECT_TRUE(connect(error)) << error;
    EXPECT_EQ(kwin.path(), own + "/tarvolin-" + std::to_string(::getpid()) + ".js");
    if (!there) std::filesystem::remove_all(own);
}

}  // namespace
}  // namespace tarvolin::test
