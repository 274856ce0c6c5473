#include "LinuxTestSupport.h"
#include "platform/LocalNotificationCenter.h"
#include "platform/linux/session/NotificationBus.h"

#include <poll.h>

namespace tarvolin {
namespace {

// Without either bus the agent runs on: one log line each, posts dropped quietly.
TEST(SessionBusNotifications, WithoutBusesTheAgentRunsOnAfterOneLogLineEach) {
    test::ScopedEnv session("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/tarvolin-test-bus");
    test::ScopedEnv system("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/tarvolin-test-bus");
    LinuxRunLoop loop;
    test::RecordingLog log;
    SessionBusNotifications poster(loop, log);
    EXPECT_FALSE(poster.connected());
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

void prepareForSleep(sd_bus* from, int start) {
    ASSERT_GE(sd_bus_emit_signal(from, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                 "PrepareForSleep", "b", start),
              0);
    ASSERT_GE(sd_bus_flush(from), 0);
}

// Hands out a sleep delay lock as a pipe: released once every copy of the write end is closed.
int handOutDelayLock(sd_bus_message* m, void* lock, sd_bus_error*) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return -errno;
    static_cast<UniqueFd*>(lock)->reset(fds[0]);
    const int r = sd_bus_reply_method_return(m, "h", fds[1]);
    ::close(fds[1]);
    return r;
}

bool released(const UniqueFd& lock) {
    pollfd p{lock.get(), POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLHUP) != 0;
}

// logind's PrepareForSleep(true) becomes the workspace's will-sleep notification, posted under a
// delay lock that is let go afterwards and taken again on waking; the same signal from a sender
// that is not logind posts nothing.
TEST(SleepWatcher, PrepareForSleepFromLogindPostsWillSleepOnceUnderADelayLock) {
    test::ScopedBus system("DBUS_SYSTEM_BUS_ADDRESS");
    ASSERT_TRUE(system.bus) << system.error;
    LinuxRunLoop loop;
    test::RecordingLog log;
    LocalNotificationCenter workspace;
    std::string error;
    SdBusPtr logind = openBus(BusKind::system, loop, error), impostor = openBus(BusKind::system, loop, error);
    UniqueFd lock;
    static const sd_bus_vtable vtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("Inhibit", "ssss", "h", &handOutDelayLock, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_VTABLE_END,
    };
    ASSERT_TRUE(logind && impostor &&
                sd_bus_add_object_vtable(logind.get(), nullptr, "/org/freedesktop/login1",
                                         "org.freedesktop.login1.Manager", vtable, &lock) >= 0 &&
                sd_bus_request_name(logind.get(), "org.freedesktop.login1", 0) >= 0)
        << error;
    int willSleep = 0;
    bool lockHeldWhilePosting = false;
    SleepWatcher watcher(loop, workspace, log);
    workspace.addObserver(&willSleep, NSWorkspaceWillSleepNotification, [&](const Notification&) {
        ++willSleep;
        lockHeldWhilePosting = !released(lock);
    });
    ASSERT_TRUE(test::runLoopUntil(loop, [&] { return watcher.holdsDelayLock(); }));
    prepareForSleep(impostor.get(), 1);
    // One connection's signals arrive in order: once the last is handled, so is the one before it.
    prepareForSleep(logind.get(), 1);
    ASSERT_TRUE(test::runLoopUntil(loop, [&] { return willSleep > 0; }));
    EXPECT_EQ(willSleep, 1) << "impostors are ignored";
    EXPECT_TRUE(lockHeldWhilePosting);
    EXPECT_TRUE(test::runLoopUntil(loop, [&] { return released(lock); })) << "let go after posting";
    prepareForSleep(logind.get(), 0);  // awake again: ready for the next sleep, and no post
    ASSERT_TRUE(test::runLoopUntil(loop, [&] { return !released(lock); }));
    EXPECT_EQ(willSleep, 1);
    workspace.removeObserver(&willSleep);
}

}  // namespace
}  // namespace tarvolin
