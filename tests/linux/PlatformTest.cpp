#include "LinuxTestSupport.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/session/PrivateDir.h"

namespace tarvolin {
namespace {

// The launch steps of the agent's delegate that involve the backend: the workspace's
// will-sleep observation and the single-instance rule.
struct ProbeDelegate final : ApplicationDelegate {
    Platform& platform;
    std::function<void()> afterLaunch;
    std::size_t copiesAtLaunch = 0;
    int terminated = 0;
    bool slept = false;
    explicit ProbeDelegate(Platform& p) : platform(p) {}
    void applicationDidFinishLaunching() override {
        platform.workspace.notificationCenter().addObserver(this, NSWorkspaceWillSleepNotification,
                                                            [this](const Notification&) {
                                                                slept = true;
                                                                platform.application.terminate(this);
                                                            });
        copiesAtLaunch = platform.workspace
                             .runningApplicationsWithBundleIdentifier(platform.application.bundleIdentifier())
                             .size();
        afterLaunch();
    }
    void applicationWillTerminate() override { ++terminated; }
};

// The whole backend as the program entry assembles it, on a private display, private buses
// and private directories: a command written by another process wakes it through the
// directory watch, and logind going to sleep ends it.
TEST(LinuxPlatform, ACommandWakesTheAgentAtOnceAndSleepEndsIt) {
    test::TempDir tmp;
    std::string error;
    auto desktop = headless::XvfbDesktop::start({.windowManager = false, .sessionBus = false}, error);
    ASSERT_TRUE(desktop) << error;
    test::ScopedBus session("DBUS_SESSION_BUS_ADDRESS"), system("DBUS_SYSTEM_BUS_ADDRESS");
    ASSERT_TRUE(session.bus && system.bus) << session.error << system.error;
    test::ScopedEnv runtime("XDG_RUNTIME_DIR", (tmp.path() / "run").string());
    test::ScopedEnv config("XDG_CONFIG_HOME", (tmp.path() / "config").string());
    auto backend = LinuxPlatform::open(error, desktop->display().c_str());
    ASSERT_TRUE(backend) << error;
    Platform& platform = backend->platform();
    EXPECT_EQ(runtimeDirectory(), tmp.path() / "run" / "tarvolin");
    SdBusPtr logind = openBus(BusKind::system, backend->runLoop(), error);
    ASSERT_TRUE(logind && sd_bus_request_name(logind.get(), "org.freedesktop.login1", 0) >= 0) << error;
    auto pb = platform.pasteboards.pasteboardWithName("TarvolinAgentPB");
    bool woken = false;
    backend->onPasteboardChanged([&] {
        woken = pb->readStrings().texts == std::vector<std::string>{"Close:9"};
        sd_bus_emit_signal(logind.get(), "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                           "PrepareForSleep", "b", 1);
    });
    ProbeDelegate delegate(platform);
    std::unique_ptr<test::Child> companion;
    delegate.afterLaunch = [&] {
        companion = std::make_unique<test::Child>([&] {
            FilePasteboardService::open(runtimeDirectory(), error)
                ->pasteboardWithName("TarvolinAgentPB")
                ->writeItems({{"Close:9"}});
            return 0;
        });
        backend->runLoop().dispatchAfter(
            20s, [&] { platform.application.terminate(nullptr); });  // a broken test ends
    };
    EXPECT_EQ(backend->run(delegate), 0);
    EXPECT_EQ(companion->wait(), 0);
    EXPECT_EQ(delegate.copiesAtLaunch, 1u);
    EXPECT_EQ(delegate.terminated, 1);
    EXPECT_TRUE(woken);
    EXPECT_TRUE(delegate.slept) << "ended by sleep, not by the deadline";
}

}  // namespace
}  // namespace tarvolin
