#include "LinuxTestSupport.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/PrivateDir.h"

#include <sys/stat.h>

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
    std::filesystem::create_directories(tmp.path() / "run" / "tarvolin");
    ::chmod((tmp.path() / "run" / "tarvolin").c_str(), 0777);
    EXPECT_FALSE(LinuxPlatform::open(error, desktop->display().c_str()));
    EXPECT_NE(error.find("it must be 0700"), std::string::npos) << error;
    ::chmod((tmp.path() / "run" / "tarvolin").c_str(), 0700);
    EXPECT_FALSE(LinuxPlatform::open(error, ":4093")) << "no display";

    auto backend = LinuxPlatform::open(error, desktop->display().c_str());
    ASSERT_TRUE(backend) << error;
    Platform& platform = backend->platform();
    SdBusPtr logind = openBus(BusKind::system, backend->runLoop(), error);
    ASSERT_TRUE(logind && sd_bus_request_name(logind.get(), "org.freedesktop.login1", 0) >= 0) << error;
    auto pb = platform.pasteboards.pasteboardWithName("TarvolinAgentPB");
    std::vector<std::string> taken;
    backend->onPasteboardChanged([&] {
        if (!pb->canReadString()) return;  // our own clear also changes the file
        PasteboardRead read = pb->readStrings();
        if (pb->clearContentsIfChangeCount(read.changeCount)) taken = read.texts;
        sd_bus_emit_signal(logind.get(), "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                           "PrepareForSleep", "b", 1);
    });
    ProbeDelegate delegate(platform);
    std::unique_ptr<test::Child> companion;
    delegate.afterLaunch = [&] {
        companion = std::make_unique<test::Child>([&] {
            auto own = FilePasteboardService::open(runtimeDirectory(), error);
            own->pasteboardWithName("TarvolinAgentPB")->writeItems({{"{\"cmd\":\"close\",\"winID\":9}"}});
            return 0;
        });
        backend->runLoop().dispatchAfter(
            20s, [&] { platform.application.terminate(nullptr); });  // a broken test ends
    };
    EXPECT_EQ(backend->run(delegate), 0);
    EXPECT_EQ(companion->wait(), 0);
    EXPECT_EQ(delegate.copiesAtLaunch, 1u);
    EXPECT_EQ(delegate.terminated, 1);
    EXPECT_EQ(taken, std::vector<std::string>{"{\"cmd\":\"close\",\"winID\":9}"});
    EXPECT_TRUE(delegate.slept) << "ended by sleep, not by the deadline";
}

}  // namespace
}  // namespace tarvolin
