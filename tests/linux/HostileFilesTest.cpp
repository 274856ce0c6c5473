// Pasteboard files as an attacker or a clumsy companion leaves them.
#include "LinuxTestSupport.h"
#include "app/AppDelegate.h"
#include "platform/linux/session/FilePasteboard.h"
#include "platform/sim/SimDesktop.h"

#include <sys/file.h>

#include <future>

namespace tarvolin {
namespace {

namespace fs = std::filesystem;

// The agent on a simulated desktop (Editor's windows 1 and 2), its pasteboard a real file.
struct FileBackedAgent {
    test::TempDir tmp;
    std::string error;
    std::unique_ptr<FilePasteboardService> files = FilePasteboardService::open(tmp.path() / "pb", error);
    sim::SimDesktop desktop;
    sim::SimProcess& process = desktop.startProcess(100);
    Platform& p = process.platform();
    // clang-format off
    Platform platform{p.application, p.runLoop, p.workspace, p.windows, p.accessibility, p.processes, *files,
                      p.userDefaults, p.notificationCenter, p.distributedNotifications, p.darwinNotifications,
                      p.scripts, p.screens, p.log, p.keyedUnarchiver, p.graphics};
    // clang-format on
    AppDelegate agent{platform};
    std::shared_ptr<FilePasteboard> pb =
        std::static_pointer_cast<FilePasteboard>(files->pasteboardWithName(kAgentPasteboardName));
    fs::path file = tmp.path() / "pb" / pb->fileName();

    FileBackedAgent() {
        desktop.addApplication(10, "Editor");
        sim::WindowSpec spec;
        spec.pid = 10;
        for (spec.number = 1; spec.number <= 2; ++spec.number) desktop.addWindow(spec);
        process.launch(agent);
    }
    void poll() { desktop.runFor(100ms); }
    void raise(int winId) { pb->writeItems({{R"({"cmd":"raise","winID":)" + std::to_string(winId) + "}"}}); }
};

TEST(HostilePasteboardFile, ContentsThatCanNeverBeReadAreClearedWithOneLogLine) {
    const std::size_t big = FilePasteboard::kMaxFileSize;
    const std::vector<std::string> cases = {
        "TVPB1 00000000000000000005\nT 9\nshort\n",
        "TVPB1 00000000000000000005\nB 0\n",  // the mode claims text
        "TVPB1 00000000000000000005\nT " + std::to_string(big) + "\n" + std::string(big, 'x') + "\n",
    };
    for (const auto& bytes : cases) {
        FileBackedAgent a;
        test::plant(a.file, bytes);
        const auto lines = a.desktop.logTexts().size();
        for (int i = 0; i < 3; ++i) a.poll();
        EXPECT_FALSE(a.pb->canReadString()) << ::testing::PrintToString(bytes.substr(0, 40));
        ASSERT_EQ(a.desktop.logTexts().size(), lines + 1) << ::testing::PrintToString(bytes.substr(0, 40));
        EXPECT_NE(a.desktop.logTexts()[lines].find("clearing the pasteboard: "), std::string::npos);
        a.raise(1);  // the channel works on
        a.poll();
        EXPECT_EQ(a.desktop.windowOrder().front(), 1);
    }
}

TEST(HostilePasteboardFile, ALockHeldElsewhereDelaysOnlyTheClear) {
    FileBackedAgent a;
    a.raise(2);
    UniqueFd other(::open((a.tmp.path() / "pb" / "TarvolinAgentPB.lock").c_str(), O_RDWR | O_CLOEXEC));
    ASSERT_EQ(::flock(other.get(), LOCK_EX), 0);
    auto polls = std::async(std::launch::async, [&] {
        a.poll();
        a.poll();
    });
    // Bounded only so that an agent stuck on the lock fails here instead of hanging the suite.
    const bool returned = polls.wait_for(20s) == std::future_status::ready;
    const bool clearedMeanwhile = !a.pb->canReadString();
    ::flock(other.get(), LOCK_UN);
    polls.wait();
    ASSERT_TRUE(returned) << "the poll waited on another process's lock";
    EXPECT_FALSE(clearedMeanwhile);
    EXPECT_EQ(a.desktop.windowOrder().front(), 2);
}

}  // namespace
}  // namespace tarvolin
