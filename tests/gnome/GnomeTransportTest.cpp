// The GNOME transport against the Shell and the agent's extension as the test plays them: what the
// agent does when they answer what a working Shell seldom does.
#include "platform/linux/gnome/GnomeDesktop.h"
#include "tests/linux/FakePeer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <systemd/sd-bus.h>
#include <nlohmann/json.hpp>

#include <atomic>

namespace tarvolin::test {
namespace {

using nlohmann::json;
using ::testing::HasSubstr;

// org.gnome.Shell on a private bus, with the extension's object: List answers `list`; the Shell says
// its version and the extension's state.
class FakeShell {
public:
    std::atomic<bool> extension = true;
    // While away, back at the agent's n-th try (0: not by itself).
    std::atomic<int> backAtTry = 0;
    std::atomic<bool> failActivate = false;
    // What the Shell says of itself and of the extension: a state the agent knows no name for.
    std::string version = "43.9";
    double state = 99;
    std::string list = R"({"hello": )" + std::to_string(TARVOLIN_GNOME_INTERFACE) +
                       R"(, "active": "7", "windows": [{"id": "7", "pid": 42, "title": "A", "app": "notes",
        "minimised": false, "desktop": "1", "close": true, "move": true, "minimise": true,
        "frame": {"x": 10, "y": 20, "w": 300, "h": 200}}], "screens": [{"x": 0, "y": 0, "w": 1280, "h": 800}]})";

    // The extension's Stopped, to the agent's connection only, as the extension sends it.
    void stopped(const std::string& agent) {
        peer_.withBus([&](sd_bus* bus) {
            sd_bus_message* m = nullptr;
            sd_bus_message_new_signal(bus, &m, "/org/tarvolin/Shell", "org.tarvolin.Shell", "Stopped");
            sd_bus_message_set_destination(m, agent.c_str());
            sd_bus_send(bus, m, nullptr);
            return sd_bus_message_unref(m);
        });
    }
    std::string lastCaller() {
        return peer_.withBus([&](sd_bus*) { return caller_; });
    }

private:
    // The extension's object is there only while it is enabled.
    static int find(sd_bus*, const char* path, const char*, void* self, void** found, sd_bus_error*) {
        auto* s = static_cast<FakeShell*>(self);
        *found = self;
        if (!s->extension && s->backAtTry > 0 && --s->backAtTry == 0) s->extension = true;
        return s->extension && std::string_view(path) == "/org/tarvolin/Shell";
    }
    static int onList(sd_bus_message* m, void* self, sd_bus_error*) {
        auto* s = static_cast<FakeShell*>(self);
        s->caller_ = sd_bus_message_get_sender(m);
        return sd_bus_reply_method_return(m, "s", s->list.c_str());
    }

    std::string caller_;
    FakePeer peer_{"org.gnome.Shell", [this](sd_bus* bus) {
                       static const sd_bus_vtable shell[] = {
                           SD_BUS_VTABLE_START(0),
                           SD_BUS_PROPERTY(
                               "ShellVersion", "s",
                               [](sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                                  void* self, sd_bus_error*) {
                                   return sd_bus_message_append(
                                       reply, "s", static_cast<FakeShell*>(self)->version.c_str());
                               },
                               0, 0),
                           SD_BUS_VTABLE_END,
                       };
                       static const sd_bus_vtable extensions[] = {
                           SD_BUS_VTABLE_START(0),
                           SD_BUS_METHOD(
                               "GetExtensionInfo", "s", "a{sv}",
                               [](sd_bus_message* m, void* self, sd_bus_error*) {
                                   return sd_bus_reply_method_return(m, "a{sv}", 1, "state", "d",
                                                                     static_cast<FakeShell*>(self)->state);
                               },
                               0),
                           SD_BUS_VTABLE_END,
                       };
                       static const sd_bus_vtable ours[] = {
                           SD_BUS_VTABLE_START(0),
                           SD_BUS_METHOD("List", "", "s", &FakeShell::onList, 0),
                           SD_BUS_METHOD(
                               "Activate", "as", "b",
                               [](sd_bus_message* m, void* self, sd_bus_error* e) {
                                   return static_cast<FakeShell*>(self)->failActivate
                                              ? sd_bus_error_set(e, SD_BUS_ERROR_FAILED, "no window")
                                              : sd_bus_reply_method_return(m, "b", 1);
                               },
                               0),
                           SD_BUS_VTABLE_END,
                       };
                       sd_bus_add_object_vtable(bus, nullptr, "/org/gnome/Shell", "org.gnome.Shell", shell,
                                                this);
                       sd_bus_add_object_vtable(bus, nullptr, "/org/gnome/Shell",
                                                "org.gnome.Shell.Extensions", extensions, this);
                       sd_bus_add_fallback_vtable(bus, nullptr, "/org/tarvolin", "org.tarvolin.Shell", ours,
                                                  &FakeShell::find, this);
                   }};  // last: its thread ends before the rest goes
};

class GnomeTransport : public PeerTransportTest {
protected:
    std::unique_ptr<DesktopBackend> connect(std::string& error) {
        return logged(GnomeDesktop::connect(center, error));
    }
};

// Whether the Shell is there is its name on the bus; a list that does not read, or an extension
// in a state the agent has no name for, ends the connection saying so.
TEST_F(GnomeTransport, WhatTheShellSaysOfItsExtensionIsPassedOn) {
    EXPECT_FALSE(GnomeDesktop::running());
    std::string error;
    EXPECT_FALSE(connect(error));
    EXPECT_EQ(error, "") << "no Shell: another desktop";
    EXPECT_FALSE(GnomeDesktop::choose({"row"}, {""}, 1s, error));
    EXPECT_EQ(error, "GNOME Shell is not on the session bus");
    FakeShell shell;
    EXPECT_TRUE(GnomeDesktop::running());
    const std::string list = shell.list;
    shell.list = json{{"hello", TARVOLIN_GNOME_INTERFACE}, {"windows", {{{"id", 7}}}}}.dump();
    EXPECT_FALSE(connect(error));
    EXPECT_THAT(error, HasSubstr("in a form this agent cannot read"));
    // An extension of another tarvolin.
    for (const json& hello :
         {json(TARVOLIN_GNOME_INTERFACE + 1), json(std::to_string(TARVOLIN_GNOME_INTERFACE))}) {
        shell.list = json{{"hello", hello}, {"windows", json::array()}}.dump();
        EXPECT_FALSE(connect(error));
        EXPECT_THAT(error, HasSubstr("speaks version " + hello.dump() + " of its interface"));
    }
    shell.list = list;
    shell.extension = false;
    EXPECT_FALSE(connect(error));
    EXPECT_THAT(error, HasSubstr("GNOME Shell 43.9 is on the session bus"));
    EXPECT_THAT(error, HasSubstr("state as 99; try `gnome-extensions enable tarvolin-legacy@tarvolin.org`"));
    // 45 is the first Shell of the module extension.
    shell.version = "45.0";
    shell.state = 2;
    EXPECT_FALSE(connect(error));
    EXPECT_THAT(error, HasSubstr("state as 2 (DISABLED): it is installed but not enabled. Enable it: "
                                 "`gnome-extensions enable tarvolin@tarvolin.org`"));
}

// The extension away is a pause: a command waits for it and is carried out once it is back; when
// it does not come back in time, the command is refused and the desktop is lost.
TEST_F(GnomeTransport, ACommandWaitsForTheExtensionOrIsRefusedWhenItStaysAway) {
    FakeShell shell;
    std::string error;
    auto d = connect(error);
    ASSERT_TRUE(d) << error;
    // A list at the start, a call a command, nothing for a look at an unchanged desktop.
    EXPECT_EQ(raise(*d), AXError::success);
    d->windows().copyWindowInfo(0, 0);
    EXPECT_EQ(d->roundTrips(), 2u);
    shell.failActivate = true;
    EXPECT_EQ(raise(*d), AXError::cannotComplete);
    EXPECT_THAT(said(), HasSubstr("the GNOME Shell extension failed Activate: no window"));
    shell.failActivate = false;
    const std::string agent = shell.lastCaller();
    shell.extension = false;
    shell.backAtTry = 2;  // away for a moment, as when GNOME cycles it
    shell.stopped(agent);
    EXPECT_EQ(raise(*d), AXError::success);
    EXPECT_THAT(said(), HasSubstr("commands wait for it to be back"));
    EXPECT_THAT(said(), HasSubstr("is back"));
    EXPECT_TRUE(d->processEvents());
    // Gone before its Stopped came: the command finds it so, waits for it, and goes again.
    shell.extension = false;
    shell.backAtTry = 2;
    EXPECT_EQ(raise(*d), AXError::success);
    EXPECT_THAT(said(), HasSubstr("is not there; commands wait"));

    shell.extension = false;
    shell.stopped(agent);
    EXPECT_EQ(raise(*d), AXError::cannotComplete);
    EXPECT_FALSE(d->processEvents());
    EXPECT_THAT(said(), HasSubstr("was not back within 2000 ms"));
}

}  // namespace
}  // namespace tarvolin::test
