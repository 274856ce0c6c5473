#include "LinuxTestSupport.h"
#include "platform/LocalNotificationCenter.h"
#include "platform/linux/NotificationBus.h"

#include <poll.h>

namespace tarvolin {
namespace {

// Without either bus the agent runs on: one log line each, posts dropped quietly.
TEST(SessionBusNotifications, WithoutBusesTheAgentRunsOnAfterOneLogLineEach) {
    test::ScopedEnv session("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/tarvolin-test-bus");
    test::ScopedEnv system("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/tarvolin-test-bus");
    test::ScopedEnv runtime("XDG_RUNTIME_DIR", "/nonexistent");
    LinuxRunLoop loop;
    test::RecordingLog log;
    SessionBusNotifications poster(loop, log);
    EXPECT_FALSE(poster.connected());
    poster.postNotificationName("HelloFromProcessOne");
    poster.postNotification("FinderBack", true);
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_NE(log.lines[0].find("dropped"), std::string::npos) << log.lines[0];
    LocalNotificationCenter workspace;
    EXPECT_FALSE(SleepWatcher(loop, workspace, log).connected());
    EXPECT_EQ(log.lines.size(), 2u);
}

// A private session bus with a loop and a log for the agent's side.
struct OnSessionBus : ::testing::Test {
    test::ScopedBus session{"DBUS_SESSION_BUS_ADDRESS"};
    LinuxRunLoop loop;
    test::RecordingLog log;
    void SetUp() override { ASSERT_TRUE(session.bus) << session.error; }
};

// A session bus that goes away under a running agent: the failure is logged once, not at
// every post; a name that cannot travel is reported each time, as it is the caller's fault.
TEST_F(OnSessionBus, ABusThatGoesAwayIsReportedOnceAndPostsGoOnQuietly) {
    SessionBusNotifications poster(loop, log);
    ASSERT_TRUE(poster.connected());
    const std::string nul("Finder\0Back", 11);
    poster.postNotification(nul, true);
    poster.postNotification("FinderBack", true);
    ASSERT_EQ(log.lines.size(), 1u) << "only the name with a NUL fails";
    session.bus.reset();
    for (int i = 0; i < 3; ++i) {
        poster.postNotification("FinderBack", true);
        poster.postNotificationName("HelloFromProcessOne");
    }
    ASSERT_EQ(log.lines.size(), 2u);
    EXPECT_NE(log.lines[1].find("not sent"), std::string::npos) << log.lines[1];
    poster.postNotification(nul, false);
    EXPECT_EQ(log.lines.size(), 3u);
}

// What `tarvolinctl watch` prints: both kinds of post, told apart, and nothing on other interfaces.
TEST_F(OnSessionBus, ListenerHearsBothKindsOfPostAndNothingElse) {
    using Kind = NotificationListener::Kind;
    std::vector<std::pair<Kind, std::string>> heard;
    NotificationListener listener(
        loop, [&](Kind kind, const std::string& name) { heard.emplace_back(kind, name); });
    std::string error;
    SdBusPtr other = openBus(BusKind::session, loop, error);
    ASSERT_TRUE(other) << error;
    // One connection's signals arrive in order: once the last is heard, so were the others.
    for (const char* interface : {bus::kDistributedInterface, "org.example.Other", bus::kDarwinInterface})
        ASSERT_GE(sd_bus_emit_signal(other.get(), bus::kObjectPath, interface, bus::kSignal, "s", interface),
                  0);
    ASSERT_GE(sd_bus_flush(other.get()), 0);
    ASSERT_TRUE(test::runLoopUntil(loop, [&] { return heard.size() >= 2; }));
    const std::vector<std::pair<Kind, std::string>> expected = {
        {Kind::distributed, bus::kDistributedInterface}, {Kind::darwin, bus::kDarwinInterface}};
    EXPECT_EQ(heard, expected);
}

// Stands in for logind on a private bus: owns its name, hands out delay locks as pipes (the
// lock is released when every copy of the write end is closed) and sends PrepareForSleep.
struct FakeLogind {
    SdBusPtr bus;
    SdBusSlotPtr object;
    UniqueFd lastLock;  // read end of the last lock handed out

    explicit FakeLogind(LinuxRunLoop& loop) {
        std::string error;
        bus = openBus(BusKind::system, loop, error);
        static const sd_bus_vtable vtable[] = {
            SD_BUS_VTABLE_START(0),
            SD_BUS_METHOD("Inhibit", "ssss", "h", &FakeLogind::inhibit, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_VTABLE_END,
        };
        sd_bus_slot* slot = nullptr;
        if (!bus ||
            sd_bus_add_object_vtable(bus.get(), &slot, "/org/freedesktop/login1",
                                     "org.freedesktop.login1.Manager", vtable, this) < 0 ||
            sd_bus_request_name(bus.get(), "org.freedesktop.login1", 0) < 0)
            throw std::runtime_error("cannot stand in for logind: " + error);
        object.reset(slot);
    }
    static int inhibit(sd_bus_message* m, void* self, sd_bus_error*) {
        const char *what = nullptr, *who = nullptr, *why = nullptr, *mode = nullptr;
        if (sd_bus_message_read(m, "ssss", &what, &who, &why, &mode) < 0) return -EINVAL;
        if (std::string(what) + " " + mode != "sleep delay") return -EINVAL;
        auto* fake = static_cast<FakeLogind*>(self);
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return -errno;
        fake->lastLock.reset(fds[0]);
        int r = sd_bus_reply_method_return(m, "h", fds[1]);
        ::close(fds[1]);
        return r;
    }
    bool lastLockReleased() const {
        pollfd p{lastLock.get(), POLLIN, 0};
        return ::poll(&p, 1, 0) == 1 && (p.revents & POLLHUP) != 0;
    }
    static void prepareForSleep(sd_bus* from, int start) {
        ASSERT_GE(sd_bus_emit_signal(from, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                     "PrepareForSleep", "b", start),
                  0);
        ASSERT_GE(sd_bus_flush(from), 0);
    }
};

// logind's PrepareForSleep(true) becomes the workspace's will-sleep notification, posted under
// a delay lock that is let go afterwards and taken again on waking; the wake-up (false) and the
// same signal from a sender that is not logind post nothing.
TEST(SleepWatcher, PrepareForSleepFromLogindPostsWillSleepOnceUnderADelayLock) {
    test::ScopedBus system("DBUS_SYSTEM_BUS_ADDRESS");
    ASSERT_TRUE(system.bus) << system.error;
    LinuxRunLoop loop;
    test::RecordingLog log;
    LocalNotificationCenter workspace;
    FakeLogind logind(loop);
    int willSleep = 0;
    bool lockHeldWhilePosting = false;
    SleepWatcher watcher(loop, workspace, log);
    workspace.addObserver(&willSleep, NSWorkspaceWillSleepNotification, [&](const Notification&) {
        ++willSleep;
        lockHeldWhilePosting = !logind.lastLockReleased();
    });
    ASSERT_TRUE(watcher.connected());
    ASSERT_TRUE(test::runLoopUntil(loop, [&] { return watcher.holdsDelayLock(); }));

    std::string error;
    SdBusPtr impostor = openBus(BusKind::system, loop, error);
    ASSERT_TRUE(impostor) << error;
    FakeLogind::prepareForSleep(impostor.get(), 1);
    // One connection's signals arrive in order: once the last is handled, so is the wake-up before it.
    FakeLogind::prepareForSleep(logind.bus.get(), 0);
    FakeLogind::prepareForSleep(logind.bus.get(), 1);
    ASSERT_TRUE(test::runLoopUntil(loop, [&] { return willSleep > 0; }));
    EXPECT_EQ(willSleep, 1) << "wake-ups and impostors are ignored";
    EXPECT_TRUE(lockHeldWhilePosting);
    EXPECT_TRUE(test::runLoopUntil(loop, [&] { return logind.lastLockReleased(); })) << "lock let go after";

    FakeLogind::prepareForSleep(logind.bus.get(), 0);  // awake again: ready for the next sleep
    ASSERT_TRUE(test::runLoopUntil(loop, [&] { return watcher.holdsDelayLock(); }));
    EXPECT_FALSE(logind.lastLockReleased());
    EXPECT_TRUE(log.lines.empty());
    workspace.removeObserver(&willSleep);
}

}  // namespace
}  // namespace tarvolin
