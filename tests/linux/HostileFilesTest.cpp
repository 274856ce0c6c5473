// Pasteboard and defaults files as an attacker or a clumsy companion leaves them.
#include "LinuxTestSupport.h"
#include "app/AppDelegate.h"
#include "platform/LocalNotificationCenter.h"
#include "platform/linux/FilePasteboard.h"
#include "platform/linux/PlistUserDefaults.h"
#include "platform/sim/SimDesktop.h"

#include <sys/file.h>

#include <algorithm>
#include <fstream>
#include <future>
#include <vector>

namespace tarvolin {
namespace {

using namespace std::chrono_literals;
using test::TempDir;
namespace fs = std::filesystem;

void plant(const fs::path& file, const std::string& bytes, fs::perms mode) {
    fs::remove(file);
    std::ofstream(file, std::ios::binary) << bytes;
    fs::permissions(file, mode);
}
constexpr auto kOwnerRw = fs::perms::owner_read | fs::perms::owner_write;

// The agent on a simulated desktop (Editor's windows 1 and 2), its pasteboard a real file.
struct FileBackedAgent {
    TempDir tmp;
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

TEST(HostilePasteboardFile, LengthsThatWrapAndSignedCountsReadAsEmpty) {
    FileBackedAgent a;
    struct Case {
        std::string bytes;
        std::size_t items;
    };
    const std::vector<Case> cases = {
        {"TVPB1 00000000000000000003\nT 18446744073709551615\nB 0\n", 0},  // length + 1 wraps to 0
        {"TVPB1 -0000000000000000000\nT 1\na\n", 0},
        {"TVPB1 00000000000000000003\nT 1\na\nB 0\n", 2},
    };
    for (const auto& c : cases) {
        plant(a.file, c.bytes, kOwnerRw);
        EXPECT_EQ(a.pb->readItems().size(), c.items) << ::testing::PrintToString(c.bytes);
        EXPECT_EQ(a.pb->readStrings().texts.size(), c.items / 2) << ::testing::PrintToString(c.bytes);
    }
}

TEST(HostilePasteboardFile, ContentsThatCanNeverBeReadAreClearedWithOneLogLine) {
    const std::size_t big = FilePasteboard::kMaxFileSize;
    const std::vector<std::string> cases = {
        "TVPB1 00000000000000000005\nT 9\nshort\n",
        "TVPB1 00000000000000000005\nB 0\n",  // the mode claims text
        "TVPB1 00000000000000000005\nT " + std::to_string(big) + "\n" + std::string(big, 'x') + "\n",
    };
    for (const auto& bytes : cases) {
        FileBackedAgent a;
        plant(a.file, bytes, kOwnerRw);
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
    const auto lines = a.desktop.logTexts();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.find("cannot clear") != std::string::npos; }),
              1);
    a.poll();
    EXPECT_FALSE(a.pb->canReadString());
    EXPECT_EQ(a.desktop.darwinNotifications().size(), 1u) << "raised once, though read at three polls";
}

struct DefaultsFiles : ::testing::Test {
    TempDir tmp;
    LocalNotificationCenter center;
    test::RecordingLog log;
    std::string error;
    std::unique_ptr<PlistUserDefaultsService> service =
        PlistUserDefaultsService::open(tmp.path() / "tarvolin", center, log, error);
    fs::path file = tmp.path() / "tarvolin" / "org.tarvolin.shared.plist";
    const std::string kill =
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>SomeText</key><string>kill</string>"
        "</dict></plist>";
};

TEST_F(DefaultsFiles, FilesOthersCouldHaveWrittenAreIgnoredWithTheReason) {
    struct Case {
        int mode;
        bool link;
        uid_t owner;
        std::string reason;  // empty: the file is obeyed
    };
    std::vector<Case> cases = {{0666, false, 0, "group or others may write it (mode 0666)"},
                               {0620, false, 0, "group or others may write it (mode 0620)"},
                               {0600, true, 0, "it is a symbolic link"},
                               {0644, false, 0, ""}};
    if (::geteuid() == 0) cases.push_back({0600, false, 65534, "it is owned by uid 65534, not by this user"});
    for (const auto& c : cases) {
        fs::remove(file);
        auto store = service->domain("org.tarvolin.shared");
        const fs::path target = c.link ? tmp.path() / "elsewhere.plist" : file;
        plant(target, kill, fs::perms(c.mode));
        if (c.link) fs::create_symlink(target, file);
        if (c.owner != 0) {
            ASSERT_EQ(::chown(file.c_str(), c.owner, c.owner), 0);
        }
        const auto lines = log.lines.size();
        const auto value = store->objectForKey("SomeText");
        if (c.reason.empty()) {
            EXPECT_EQ(value, Value("kill")) << c.reason;
            continue;
        }
        EXPECT_FALSE(value) << c.reason;
        ASSERT_EQ(log.lines.size(), lines + 1) << c.reason;
        EXPECT_EQ(log.lines.back(),
                  "tarvolin: ignoring defaults file org.tarvolin.shared.plist: " + c.reason);
    }
}

// A write never replaces a file it refused to read: the link, the shared file and what they
// hold stay as they were, and the error says why.
TEST_F(DefaultsFiles, AWriteLeavesARefusedFileAsItWasAndSaysWhy) {
    struct Case {
        int mode;
        bool link;
        std::string reason;
    };
    const fs::path target = tmp.path() / "dotfiles.plist";
    for (const auto& c : {Case{0664, false, "group or others may write it (mode 0664)"},
                          Case{0600, true, "it is a symbolic link"}}) {
        fs::remove(file);
        plant(c.link ? target : file, kill, fs::perms(c.mode));
        if (c.link) fs::create_symlink(target, file);
        auto store = service->sharedUserDefaults();
        try {
            store->setObject("Other", Value("x"));
            ADD_FAILURE() << c.reason << ": written over";
        } catch (const std::system_error& e) {
            EXPECT_EQ(e.code().value(), EPERM);
            EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << e.what();
        }
        EXPECT_EQ(fs::is_symlink(file), c.link) << c.reason;
        std::ifstream in(c.link ? target : file);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), kill) << c.reason;
        EXPECT_EQ(fs::status(file).permissions(), fs::perms(c.mode)) << c.reason;
    }
}

// An unparsable file is moved aside, never lost, and the log says where it went; an empty
// one holds nothing worth keeping.
TEST_F(DefaultsFiles, AWriteKeepsAnUnreadableFileUnderANameThatSaysSo) {
    auto store = service->sharedUserDefaults();
    const fs::path dir = file.parent_path();
    auto kept = [&] {
        std::vector<fs::path> found;
        for (const auto& entry : fs::directory_iterator(dir))
            if (entry.path().filename().string().starts_with("org.tarvolin.shared.plist.unreadable-"))
                found.push_back(entry.path());
        std::sort(found.begin(), found.end());
        return found;
    };
    const std::vector<std::string> garbage = {"<plist><dict><key>Som", "not a plist either"};
    for (std::size_t i = 0; i < garbage.size(); ++i) {
        plant(file, garbage[i], kOwnerRw);
        log.lines.clear();
        store->setObject("SomeText", Value("Raise:1"));
        EXPECT_EQ(store->objectForKey("SomeText"), Value("Raise:1"));
        const auto found = kept();
        ASSERT_EQ(found.size(), i + 1) << "a second one in the same second must not replace the first";
        std::ifstream in(found[i]);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), garbage[i]);
        ASSERT_EQ(log.lines.size(), 1u);
        EXPECT_NE(log.lines[0].find("kept it as " + found[i].filename().string()), std::string::npos)
            << log.lines[0];
    }
    plant(file, "", kOwnerRw);
    store->setObject("SomeText", Value("Raise:2"));
    EXPECT_EQ(kept().size(), garbage.size());
    EXPECT_EQ(store->objectForKey("SomeText"), Value("Raise:2"));
}

TEST_F(DefaultsFiles, TextAFileCannotHoldWholeIsRefusedOnWrite) {
    auto store = service->sharedUserDefaults();
    store->setObject("SomeText", Value("kept"));
    const std::string nul("Raise:1\0Close:2", 15);
    for (const Value& v : {Value(nul), Value::array({Value(nul)}), Value::dictionary({{nul, Value("v")}}),
                           Value(std::string("\xff\xfe"))}) {
        EXPECT_THROW(store->setObject("SomeText", v), std::invalid_argument) << v.description();
        EXPECT_EQ(store->objectForKey("SomeText"), Value("kept")) << v.description();
    }
}

}  // namespace
}  // namespace tarvolin
