#include "LinuxTestSupport.h"
#include "platform/LocalNotificationCenter.h"
#include "platform/linux/session/FilePasteboard.h"
#include "platform/linux/session/PlistUserDefaults.h"

#include <sys/stat.h>

#include <set>

namespace tarvolin {
namespace {

using Texts = std::vector<std::string>;

std::shared_ptr<FilePasteboard> board(const std::filesystem::path& dir,
                                      std::string_view name = "TarvolinAgentPB") {
    std::string error;
    auto service = FilePasteboardService::open(dir, error);
    if (!service) throw std::runtime_error(error);
    return std::static_pointer_cast<FilePasteboard>(service->pasteboardWithName(name));
}

TEST(Pasteboard, FileFormatChangeCountsNamesAndTheCheapTextTest) {
    test::TempDir tmp;
    auto pb = board(tmp.path() / "pb");
    EXPECT_FALSE(pb->canReadString());
    struct Step {
        std::vector<PasteboardItem> items;  // written; none: cleared
        Texts texts;
        bool canReadString;
    };
    const std::vector<Step> steps = {
        {{{"{\"cmd\":\"raise\",\"winID\":7}"}, {std::nullopt}, {"second\nline"}, {""}},
         {"{\"cmd\":\"raise\",\"winID\":7}", "second\nline", ""},
         true},
        {{{std::nullopt}}, {}, false},  // non-text items are not readable text
        {{}, {}, false},
    };
    std::int64_t expected = 0;
    for (const auto& s : steps) {
        EXPECT_EQ(s.items.empty() ? pb->clearContents() : pb->writeItems(s.items), ++expected);
        EXPECT_EQ(pb->canReadString(), s.canReadString) << expected;
        // A second service, as another process would have, sees the same pasteboard.
        PasteboardRead read = board(tmp.path() / "pb")->readStrings();
        EXPECT_EQ(read.texts, s.texts) << expected;
        EXPECT_EQ(read.changeCount, expected);
        EXPECT_EQ(pb->changeCount(), expected);
    }
    EXPECT_THROW(pb->writeItems({{std::string(FilePasteboard::kMaxFileSize, 'x')}}), std::length_error);
    EXPECT_EQ(pb->changeCount(), expected) << "too large: refused, and the contents kept";

    // A malformed or foreign file reads as empty, until the next write.
    const auto file = tmp.path() / "pb" / pb->fileName();
    for (const std::string bytes :
         {"", "TVPB1 00000000000000000007\nT 100\nshort\n", "TVPB1 00000000000000000007\nT 2\nabc\n",
          "TVPB1 00000000000000000007\nX 1\na\n", "TVPB1 0000000000000000000x\nT 1\na\n",
          "TVPB1 00000000000000000007\nB 3\nabc\n",
          "TVPB1 00000000000000000003\nT 18446744073709551615\nB 0\n"}) {  // length + 1 wraps to 0
        test::plant(file, bytes);
        EXPECT_TRUE(pb->readItems().empty()) << ::testing::PrintToString(bytes);
        pb->writeItems({{"ok"}});
        EXPECT_EQ(pb->readStrings().texts, Texts{"ok"});
    }

    std::string error;
    auto service = FilePasteboardService::open(tmp.path() / "pb", error);
    for (const std::string& name : Texts{"", "a/b", ".hidden", "tab\there", std::string(129, 'x')})
        EXPECT_THROW(service->pasteboardWithName(name), std::invalid_argument) << name;
    EXPECT_NO_THROW(service->pasteboardWithName(std::string(127, 'x') + " "));
}

// Two writer processes and one consumer, as the companion and the agent would use it: every
// command is consumed exactly once and none is ever seen torn.
TEST(Pasteboard, ConcurrentWritersAndConsumerLoseAndTearNothing) {
    test::TempDir tmp;
    const auto dir = tmp.path() / "pb";
    auto pb = board(dir);
    constexpr int kWriters = 2, kPerWriter = 75;
    auto payload = [](int writer, int i) {
        std::string text = "w" + std::to_string(writer) + "-" + std::to_string(i) + ":";
        return text.append(static_cast<std::size_t>(2000 + i),
                           static_cast<char>('a' + (writer * 7 + i) % 26));
    };
    constexpr std::size_t kAll = kWriters * kPerWriter;

    std::vector<std::unique_ptr<test::Child>> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.push_back(std::make_unique<test::Child>([&, w] {
            auto own = board(dir);
            for (int i = 0; i < kPerWriter;) {
                PasteboardRead now = own->readStrings();
                if (now.texts.empty() && own->writeItemsIfChangeCount(now.changeCount, {{payload(w, i)}}))
                    ++i;
            }
            return 0;
        }));
    }

    std::multiset<std::string> consumed;
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (consumed.size() < kAll && std::chrono::steady_clock::now() < deadline) {
        if (!pb->canReadString()) continue;
        PasteboardRead read = pb->readStrings();
        try {
            if (!read.texts.empty() && pb->clearContentsIfChangeCount(read.changeCount))
                consumed.insert(read.texts.begin(), read.texts.end());
        } catch (const std::system_error& e) {
            // A writer held the lock past the brief wait (a busy machine): the agent tries again too.
            if (e.code().value() != EWOULDBLOCK) throw;
        }
    }
    for (auto& writer : writers) EXPECT_EQ(writer->wait(), 0);
    for (int w = 0; w < kWriters; ++w)
        for (int i = 0; i < kPerWriter; ++i)
            EXPECT_EQ(consumed.count(payload(w, i)), 1u) << "lost, torn or doubled";
}

// Directories someone else could write (or read, for pasteboards) are refused, saying why.
TEST(PrivateDirectories, RefuseDirectoriesOthersCanReach) {
    namespace fs = std::filesystem;
    struct Case {
        mode_t mode;
        bool link, otherOwner;
        const char *pasteboardsError, *defaultsError;  // none: accepted
    };
    const std::vector<Case> cases = {
        {0755, false, false, "it must be 0700", nullptr},
        {0770, false, false, "it must be 0700", "it must not be group/other writable"},
        {0700, true, false, "not a link", "not a link"},
        {0700, false, true, "not to this user", "not to this user"},  // only root can hand it over
    };
    for (const auto& c : cases) {
        for (bool pasteboards : {true, false}) {
            test::TempDir tmp;
            const fs::path dir = tmp.path() / "tarvolin", real = tmp.path() / (c.link ? "real" : "tarvolin");
            ASSERT_TRUE(fs::create_directory(real) && ::chmod(real.c_str(), c.mode) == 0);
            if (c.link) fs::create_directory_symlink(real, dir);
            if (c.otherOwner && ::chown(dir.c_str(), ::geteuid() + 1, gid_t(-1)) != 0) continue;
            std::string error;
            LocalNotificationCenter center;
            test::RecordingLog log;
            const bool accepted = pasteboards
                                      ? FilePasteboardService::open(dir, error) != nullptr
                                      : PlistUserDefaultsService::open(dir, center, log, error) != nullptr;
            const char* expected = pasteboards ? c.pasteboardsError : c.defaultsError;
            EXPECT_EQ(accepted, expected == nullptr)
                << std::oct << c.mode << " " << pasteboards << ": " << error;
            if (expected) {
                EXPECT_NE(error.find(expected), std::string::npos) << error;
            }
        }
    }
}

}  // namespace
}  // namespace tarvolin
