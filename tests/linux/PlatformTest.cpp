#include "LinuxTestSupport.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/PrivateDir.h"

namespace tarvolin {
namespace {

using test::Child;
using test::Pipe;
using test::ScopedEnv;
using test::TempDir;

// The whole backend as the program entry assembles it, on a private X display, private
// buses and private directories.
struct PlatformFixture : ::testing::Test {
    TempDir tmp;
    test::VirtualDisplay display;
    test::PrivateBus sessionBus, systemBus;
    std::optional<ScopedEnv> runtime, config, session, system;

    void SetUp() override {
        if (!display.ok()) GTEST_SKIP() << "Xvfb did not start";
        ASSERT_TRUE(sessionBus.ok() && systemBus.ok());
        runtime.emplace("XDG_RUNTIME_DIR", (tmp.path() / "run").string());
        std::filesystem::create_directory(tmp.path() / "run");
        config.emplace("XDG_CONFIG_HOME", (tmp.path() / "config").string());
        session.emplace("DBUS_SESSION_BUS_ADDRESS", sessionBus.address());
        system.emplace("DBUS_SYSTEM_BUS_ADDRESS", systemBus.address());
    }

    std::unique_ptr<LinuxPlatform> open() {
        std::string error;
        auto platform = LinuxPlatform::open(error, display.name().c_str());
        EXPECT_TRUE(platform) << error;
        return platform;
    }
};

// The launch steps the agent's delegate performs that involve the backend: the workspace's
// will-sleep observation, the single-instance rule, and an immediate wake-up on a command.
struct ProbeDelegate final : ApplicationDelegate {
    Platform& platform;
    std::function<void()> afterLaunch;
    std::size_t copiesAtLaunch = 0;
    int terminated = 0;
    explicit ProbeDelegate(Platform& p) : platform(p) {}
    void applicationDidFinishLaunching() override {
        platform.workspace.notificationCenter().addObserver(
            this, NSWorkspaceWillSleepNotification,
            [this](const Notification&) { platform.application.terminate(this); });
        if (afterLaunch) afterLaunch();
        copiesAtLaunch = platform.workspace
                             .runningApplicationsWithBundleIdentifier(platform.application.bundleIdentifier())
                             .size();
        if (copiesAtLaunch >= 2) platform.application.terminate(nullptr);
    }
    void applicationWillTerminate() override { ++terminated; }
};

TEST_F(PlatformFixture, APasteboardWriteWakesTheAgentAtOnce) {
    auto backend = open();
    ASSERT_TRUE(backend);
    Platform& platform = backend->platform();
    EXPECT_EQ(platform.application.bundleIdentifier(), "org.tarvolin.agent");
    auto pb = platform.pasteboards.pasteboardWithName("TarvolinAgentPB");
    std::vector<std::string> taken;
    backend->onPasteboardChanged([&] {
        if (!pb->canReadString()) return;  // our own clear also changes the file
        PasteboardRead read = pb->readStrings();
        if (pb->clearContentsIfChangeCount(read.changeCount)) taken = read.texts;
        platform.application.terminate(nullptr);
    });
    ProbeDelegate delegate(platform);
    std::unique_ptr<Child> companion;
    delegate.afterLaunch = [&] {
        companion = std::make_unique<Child>([&] {
            std::string error;
            auto own = FilePasteboardService::open(runtimeDirectory(), error);
            own->pasteboardWithName("TarvolinAgentPB")->writeItems({{"{\"cmd\":\"close\",\"winID\":9}"}});
            return 0;
        });
    };
    EXPECT_EQ(backend->run(delegate), 0);
    EXPECT_EQ(companion->wait(), 0);
    EXPECT_EQ(delegate.copiesAtLaunch, 1u);
    EXPECT_EQ(delegate.terminated, 1);
    EXPECT_EQ(taken, std::vector<std::string>{"{\"cmd\":\"close\",\"winID\":9}"});
}

TEST_F(PlatformFixture, LogindGoingToSleepEndsTheAgent) {
    auto backend = open();
    ASSERT_TRUE(backend);
    ProbeDelegate delegate(backend->platform());
    std::string error;
    SdBusPtr logind = openBus(BusKind::system, backend->runLoop(), error);
    ASSERT_TRUE(logind) << error;
    ASSERT_GE(sd_bus_request_name(logind.get(), "org.freedesktop.login1", 0), 0);
    delegate.afterLaunch = [&] {
        sd_bus_emit_signal(logind.get(), "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                           "PrepareForSleep", "b", 1);
    };
    EXPECT_EQ(backend->run(delegate), 0);
    EXPECT_EQ(delegate.terminated, 1);
}

// A second copy completes its launch, sees two agents and ends itself; the first one is
// untouched and still ends cleanly on SIGTERM.
TEST_F(PlatformFixture, ASecondCopyEndsItselfAfterLaunching) {
    Pipe firstReady, firstEvents;
    Child first([&] {
        auto backend = open();
        if (!backend) return 2;
        ProbeDelegate delegate(backend->platform());
        delegate.afterLaunch = [&] { firstReady.send("launched\n"); };
        int code = backend->run(delegate);
        firstEvents.send("copies " + std::to_string(delegate.copiesAtLaunch) + " terminated " +
                         std::to_string(delegate.terminated) + "\n");
        return code;
    });
    firstReady.write.reset();
    ASSERT_EQ(firstReady.receiveLine(), "launched");

    Pipe secondEvents;
    Child second([&] {
        auto backend = open();
        if (!backend) return 2;
        ProbeDelegate delegate(backend->platform());
        int code = backend->run(delegate);
        secondEvents.send("copies " + std::to_string(delegate.copiesAtLaunch) + " terminated " +
                          std::to_string(delegate.terminated) + "\n");
        return code;
    });
    secondEvents.write.reset();
    EXPECT_EQ(secondEvents.receiveLine(), "copies 2 terminated 1");
    EXPECT_EQ(second.wait(), 0);

    ASSERT_EQ(::kill(first.pid(), SIGTERM), 0);
    firstEvents.write.reset();
    EXPECT_EQ(firstEvents.receiveLine(), "copies 1 terminated 1");
    EXPECT_EQ(first.wait(), 0);
}

TEST_F(PlatformFixture, LosingTheDisplayEndsTheAgentWithAFailure) {
    auto backend = open();
    ASSERT_TRUE(backend);
    ProbeDelegate delegate(backend->platform());
    delegate.afterLaunch = [&] { display.stop(); };
    EXPECT_EQ(backend->run(delegate), 1);
}

TEST_F(PlatformFixture, RefusesToStartWithoutADisplayOrWithAnOpenDirectory) {
    std::string error;
    EXPECT_FALSE(LinuxPlatform::open(error, ":4093"));
    EXPECT_FALSE(error.empty());

    std::filesystem::create_directories(tmp.path() / "run" / "tarvolin");
    std::filesystem::permissions(tmp.path() / "run" / "tarvolin", std::filesystem::perms::all);
    error.clear();
    EXPECT_FALSE(LinuxPlatform::open(error, display.name().c_str()));
    EXPECT_NE(error.find("it must be 0700"), std::string::npos) << error;
}

}  // namespace
}  // namespace tarvolin
