#include "LinuxTestSupport.h"
#include "platform/LocalNotificationCenter.h"
#include "platform/linux/NotificationBus.h"

#include <poll.h>

namespace tarvolin {
namespace {

using test::PrivateBus;
using test::ScopedEnv;

using Kind = NotificationListener::Kind;

TEST(SessionBusNotifications, ObserversInAnotherConnectionReceiveEveryPostInOrder) {
    PrivateBus bus;
    ASSERT_TRUE(bus.ok()) << "dbus-daemon did not start";
    ScopedEnv env("DBUS_SESSION_BUS_ADDRESS", bus.address());
    LinuxRunLoop loop;
    test::RecordingLog log;
    std::vector<std::pair<Kind, std::string>> received;
    NotificationListener listener(
        loop, [&](Kind kind, const std::string& name) { received.emplace_back(kind, name); });
    SessionBusNotifications poster(loop, log);
    ASSERT_TRUE(poster.connected());

    // The listener's match must be in place before the first post; a round trip through the
    // bus daemon (a post to ourselves) confirms it.
    poster.postNotificationName("ready");
    ASSERT_TRUE(test::runLoopUntil(loop, [&] { return !received.empty(); }));
    received.clear();

    poster.postNotificationName("HelloFromProcessOne");
    poster.postNotification("FinderBack", true);
    poster.postNotification("caf\xc3\xa9 \"quoted\"", false);
    ASSERT_TRUE(test::runLoopUntil(loop, [&] { return received.size() >= 3; }));
    EXPECT_EQ(received,
              (std::vector<std::pair<Kind, std::string>>{{Kind::distributed, "HelloFromProcessOne"},
                                                         {Kind::darwin, "FinderBack"},
                                                         {Kind::darwin, "caf\xc3\xa9 \"quoted\""}}));

    // Names the bus cannot carry are logged and dropped, and later posts still go out.
    poster.postNotificationName(std::string_view("a\0b", 3));
    poster.postNotificationName("\xff\xfe not UTF-8");
    poster.postNotificationName("after");
    ASSERT_TRUE(test::runLoopUntil(loop, [&] { return received.size() >= 4; }));
    EXPECT_EQ(received.back(), (std::pair<Kind, std::string>{Kind::distributed, "after"}));
    EXPECT_EQ(received.size(), 4u);
    EXPECT_EQ(log.lines().size(), 2u);
}

TEST(SessionBusNotifications, WithoutABusPostsAreDroppedAfterOneLogLine) {
    ScopedEnv env("DBUS_SESSION_BUS_ADDRESS", std::string("unix:path=/nonexistent/tarvolin-test-bus"));
    ScopedEnv runtime("XDG_RUNTIME_DIR", std::string("/nonexistent"));
    LinuxRunLoop loop;
    test::RecordingLog log;
    SessionBusNotifications poster(loop, log);
    EXPECT_FALSE(poster.connected());
    poster.postNotificationName("HelloFromProcessOne");
    poster.postNotification("FinderBack", true);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_NE(log.lines()[0].find("dropped"), std::string::npos) << log.lines()[0];
}

// Stands in for logind on a private bus: owns its name, hands out delay locks as pipes (the
// lock is released when every copy of the write end is closed) and sends PrepareForSleep.
struct FakeLogind {
    SdBusPtr bus;
    SdBusSlotPtr object;
    std::vector<std::string> requests;  // "what mode" of each Inhibit call
    UniqueFd lastLock;                  // read end of the last lock handed out

    explicit FakeLogind(LinuxRunLoop& loop) {
        std::string error;
        bus = openBus(BusKind::system, loop, error);
        if (!bus) throw std::runtime_error(error);
        static const sd_bus_vtable vtable[] = {
            SD_BUS_VTABLE_START(0),
            SD_BUS_METHOD("Inhibit", "ssss", "h", &FakeLogind::inhibit, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_VTABLE_END,
        };
        sd_bus_slot* slot = nullptr;
        if (sd_bus_add_object_vtable(bus.get(), &slot, "/org/freedesktop/login1",
                                     "org.freedesktop.login1.Manager", vtable, this) < 0 ||
            sd_bus_request_name(bus.get(), "org.freedesktop.login1", 0) < 0)
            throw std::runtime_error("cannot stand in for logind");
        object.reset(slot);
    }
    static int inhibit(sd_bus_message* m, void* self, sd_bus_error*) {
        auto* fake = static_cast<FakeLogind*>(self);
        const char *what = nullptr, *who = nullptr, *why = nullptr, *mode = nullptr;
        if (sd_bus_message_read(m, "ssss", &what, &who, &why, &mode) < 0) return -EINVAL;
        fake->requests.push_back(std::string(what) + " " + mode);
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return -errno;
        fake->lastLock.reset(fds[0]);
        int r = sd_bus_reply_method_return(m, "h", fds[1]);
        ::close(fds[1]);
        return r;
    }
    // True once nobody holds the last lock any more.
    bool lastLockReleased() const {
        pollfd p{lastLock.get(), POLLIN, 0};
        return ::poll(&p, 1, 0) == 1 && (p.revents & POLLHUP) != 0;
    }
    void prepareForSleep(int start) {
        ASSERT_GE(sd_bus_emit_signal(bus.get(), "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                     "PrepareForSleep", "b", start),
                  0);
        ASSERT_GE(sd_bus_flush(bus.get()), 0);
    }
};

// logind's PrepareForSleep(true) becomes the workspace's will-sleep notification, while the
// agent holds a delay lock that it lets go once the notification has been handled; the
// wake-up (false) and the same signal from a sender that is not logind post nothing.
TEST(SleepWatcher, PrepareForSleepFromLogindPostsWillSleepOnceUnderADelayLock) {
    PrivateBus system;
    ASSERT_TRUE(system.ok());
    ScopedEnv env("DBUS_SYSTEM_BUS_ADDRESS", system.address());
    LinuxRunLoop loop;
    test::RecordingLog log;
    LocalNotificationCenter workspace;
    FakeLogind logind(loop);
    bool lockHeldWhilePosting = false;
    int willSleep = 0;
    SleepWatcher watcher(loop, workspace, log);
    workspace.addObserver(&willSleep, NSWorkspaceWillSleepNotification, [&](const Notification&) {
        ++willSleep;
        lockHeldWhilePosting = !logind.lastLockReleased();
    });
    ASSERT_TRUE(watcher.connected()) << (log.lines().empty() ? "" : log.lines()[0]);
    ASSERT_TRUE(test::runLoopUntil(loop, [&] { return watcher.holdsDelayLock(); }));
    EXPECT_EQ(logind.requests, std::vector<std::string>{"sleep delay"});
    EXPECT_FALSE(logind.lastLockReleased());

    std::string error;
    SdBusPtr impostor = openBus(BusKind::system, loop, error);
    ASSERT_TRUE(impostor) << error;
    ASSERT_GE(sd_bus_emit_signal(impostor.get(), "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                 "PrepareForSleep", "b", 1),
              0);
    ASSERT_GE(sd_bus_flush(impostor.get()), 0);
    // One connection's signals arrive in order: when the going-to-sleep signal has been
    // handled, the wake-up sent before it has been handled too.
    logind.prepareForSleep(0);
    logind.prepareForSleep(1);
    ASSERT_TRUE(test::runLoopUntil(loop, [&] { return willSleep > 0; }));
    EXPECT_EQ(willSleep, 1) << "wake-ups and impostors are ignored";
    EXPECT_TRUE(lockHeldWhilePosting);
    EXPECT_TRUE(test::runLoopUntil(loop, [&] { return logind.lastLockReleased(); })) << "lock let go after";

    logind.prepareForSleep(0);  // awake again, still running: ready for the next sleep
    ASSERT_TRUE(test::runLoopUntil(loop, [&] { return watcher.holdsDelayLock(); }));
    EXPECT_EQ(logind.requests.size(), 2u);
    EXPECT_FALSE(logind.lastLockReleased());
    EXPECT_TRUE(log.lines().empty());
    workspace.removeObserver(&willSleep);
}

TEST(SleepWatcher, WithoutASystemBusTheAgentRunsOn) {
    ScopedEnv env("DBUS_SYSTEM_BUS_ADDRESS", std::string("unix:path=/nonexistent/tarvolin-test-system-bus"));
    LinuxRunLoop loop;
    test::RecordingLog log;
    LocalNotificationCenter workspace;
    SleepWatcher watcher(loop, workspace, log);
    EXPECT_FALSE(watcher.connected());
    EXPECT_EQ(log.lines().size(), 1u);
}

}  // namespace
}  // namespace tarvolin
