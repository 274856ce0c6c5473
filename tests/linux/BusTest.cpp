#include "LinuxTestSupport.h"
#include "platform/LocalNotificationCenter.h"
#include "platform/linux/NotificationBus.h"

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

// logind's PrepareForSleep(true) becomes the workspace's will-sleep notification; the
// wake-up (false) and the same signal from a sender that is not logind do not.
TEST(SleepWatcher, PrepareForSleepFromLogindPostsWillSleepOnce) {
    PrivateBus system;
    ASSERT_TRUE(system.ok());
    ScopedEnv env("DBUS_SYSTEM_BUS_ADDRESS", system.address());
    LinuxRunLoop loop;
    test::RecordingLog log;
    LocalNotificationCenter workspace;
    int willSleep = 0;
    workspace.addObserver(&willSleep, NSWorkspaceWillSleepNotification,
                          [&](const Notification&) { ++willSleep; });
    SleepWatcher watcher(loop, workspace, log);
    ASSERT_TRUE(watcher.connected()) << (log.lines().empty() ? "" : log.lines()[0]);

    std::string error;
    SdBusPtr impostor = openBus(BusKind::system, loop, error);
    SdBusPtr logind = openBus(BusKind::system, loop, error);
    ASSERT_TRUE(impostor && logind) << error;
    ASSERT_GE(sd_bus_request_name(logind.get(), "org.freedesktop.login1", 0), 0);
    auto emit = [&](sd_bus* from, int start) {
        ASSERT_GE(sd_bus_emit_signal(from, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                     "PrepareForSleep", "b", start),
                  0);
        ASSERT_GE(sd_bus_flush(from), 0);
    };
    emit(impostor.get(), 1);
    // One connection's signals arrive in order: when the going-to-sleep signal has been
    // handled, the wake-up sent before it has been handled too.
    emit(logind.get(), 0);
    emit(logind.get(), 1);
    ASSERT_TRUE(test::runLoopUntil(loop, [&] { return willSleep > 0; }));
    EXPECT_EQ(willSleep, 1) << "wake-ups and impostors are ignored";
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
