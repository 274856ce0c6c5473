#include "LinuxTestSupport.h"
#include "platform/LocalNotificationCenter.h"
#include "platform/linux/FilePasteboard.h"
#include "platform/linux/PlistUserDefaults.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <fstream>
#include <set>

namespace tarvolin {
namespace {

using test::Child;
using test::Pipe;
using test::TempDir;

std::unique_ptr<FilePasteboardService> openService(const std::filesystem::path& dir) {
    std::string error;
    auto service = FilePasteboardService::open(dir, error);
    EXPECT_TRUE(service) << error;
    return service;
}

std::shared_ptr<FilePasteboard> board(FilePasteboardService& service,
                                      std::string_view name = "TarvolinAgentPB") {
    return std::static_pointer_cast<FilePasteboard>(service.pasteboardWithName(name));
}

TEST(PasteboardNames, RefusesNamesThatAreNotPlainFileNames) {
    TempDir tmp;
    auto service = openService(tmp.path() / "pb");
    for (const std::string& name : {std::string(""), std::string("a/b"), std::string(".."),
                                    std::string(".hidden"), std::string("a\0b", 3), std::string("tab\there"),
                                    std::string("caf\xc3\xa9"), std::string(129, 'x')})
        EXPECT_THROW(service->pasteboardWithName(name), std::invalid_argument) << test::quoted(name);
    EXPECT_EQ(service->pasteboardWithName("TarvolinAgentPB"), service->pasteboardWithName("TarvolinAgentPB"));
    EXPECT_NO_THROW(service->pasteboardWithName(std::string(128, 'x')));
    EXPECT_NO_THROW(service->pasteboardWithName("with space.and-dots"));
}

TEST(Pasteboard, ItemsChangeCountsAndTheCheapTextTest) {
    TempDir tmp;
    auto pb = board(*openService(tmp.path() / "pb"));
    EXPECT_FALSE(pb->canReadString());
    EXPECT_EQ(pb->changeCount(), 0);
    EXPECT_TRUE(pb->readStrings().texts.empty());

    std::int64_t c1 =
        pb->writeItems({{"{\"cmd\":\"raise\",\"winID\":7}"}, {std::nullopt}, {"second\nline"}, {""}});
    EXPECT_EQ(c1, 1);
    EXPECT_TRUE(pb->canReadString());
    PasteboardRead read = pb->readStrings();
    EXPECT_EQ(read.changeCount, c1);
    EXPECT_EQ(read.texts, (std::vector<std::string>{"{\"cmd\":\"raise\",\"winID\":7}", "second\nline", ""}));

    // A second service (as another process would) sees the same pasteboard.
    auto other = board(*openService(tmp.path() / "pb"));
    EXPECT_EQ(other->readStrings().texts, read.texts);

    EXPECT_EQ(pb->writeItems({{std::nullopt}}), 2);
    EXPECT_FALSE(pb->canReadString()) << "non-text items are not readable text";
    EXPECT_EQ(pb->readItems(), (std::vector<PasteboardItem>{{std::nullopt}}));

    EXPECT_EQ(pb->writeItems({{""}}), 3);
    EXPECT_TRUE(pb->canReadString()) << "an empty text is still a text item";

    EXPECT_EQ(pb->clearContents(), 4);
    EXPECT_FALSE(pb->canReadString());
    EXPECT_EQ(other->changeCount(), 4);
    EXPECT_TRUE(pb->readStrings().texts.empty());
}

TEST(Pasteboard, CompareAndClearAndCompareAndWrite) {
    TempDir tmp;
    auto pb = board(*openService(tmp.path() / "pb"));
    auto seen = pb->writeItems({{"first"}});
    // Another process writes between our read and our clear: the clear must not remove its command.
    Child writer([&] {
        auto own = board(*openService(tmp.path() / "pb"));
        own->writeItems({{"second"}});
        return 0;
    });
    ASSERT_EQ(writer.wait(), 0);
    EXPECT_FALSE(pb->clearContentsIfChangeCount(seen));
    EXPECT_EQ(pb->readStrings().texts, std::vector<std::string>{"second"});
    EXPECT_TRUE(pb->clearContentsIfChangeCount(pb->changeCount()));
    EXPECT_FALSE(pb->canReadString());

    EXPECT_FALSE(pb->writeItemsIfChangeCount(seen, {{"stale"}}));
    auto now = pb->changeCount();
    EXPECT_EQ(pb->writeItemsIfChangeCount(now, {{"fresh"}}), now + 1);
    EXPECT_EQ(pb->readStrings().texts, std::vector<std::string>{"fresh"});
}

TEST(Pasteboard, MalformedOrForeignFilesReadAsEmpty) {
    TempDir tmp;
    auto pb = board(*openService(tmp.path() / "pb"));
    const auto file = tmp.path() / "pb" / pb->fileName();
    const std::vector<std::string> bad = {
        "",
        "garbage",
        "TVPB1 00000000000000000007\nT 100\nshort\n",
        "TVPB1 00000000000000000007\nT 2\nabc\n",
        "TVPB1 00000000000000000007\nX 1\na\n",
        "TVPB1 0000000000000000000x\nT 1\na\n",
        "TVPB1 00000000000000000007\nB 3\nabc\n",
    };
    for (const auto& bytes : bad) {
        std::filesystem::remove(file);
        std::ofstream(file, std::ios::binary) << bytes;
        std::filesystem::permissions(
            file, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
        EXPECT_TRUE(pb->readStrings().texts.empty()) << test::quoted(bytes);
        // A writer recovers: the pasteboard works again after the next write.
        pb->writeItems({{"ok"}});
        EXPECT_EQ(pb->readStrings().texts, std::vector<std::string>{"ok"});
    }
}

TEST(Pasteboard, RefusesContentsBeyondTheLimit) {
    TempDir tmp;
    auto pb = board(*openService(tmp.path() / "pb"));
    pb->writeItems({{"kept"}});
    EXPECT_THROW(pb->writeItems({{std::string(FilePasteboard::kMaxFileSize, 'x')}}), std::length_error);
    EXPECT_EQ(pb->readStrings().texts, std::vector<std::string>{"kept"});
}

// Two writer processes and one consumer, as the companion and the agent would use it, plus a
// process that only reads and checks every text it sees. Every command is consumed exactly once
// and none is ever seen torn.
TEST(Pasteboard, ConcurrentWritersAndConsumerLoseAndTearNothing) {
    TempDir tmp;
    const auto dir = tmp.path() / "pb";
    auto pb = board(*openService(dir));
    constexpr int kWriters = 2;
    constexpr int kPerWriter = 150;
    auto payload = [](int writer, int i) {
        std::string text = "w" + std::to_string(writer) + "-" + std::to_string(i) + ":";
        text.append(static_cast<std::size_t>(2000 + i), static_cast<char>('a' + (writer * 7 + i) % 26));
        return text;
    };
    auto wellFormed = [&](const std::string& text) {
        int writer = -1, i = -1;
        if (std::sscanf(text.c_str(), "w%d-%d:", &writer, &i) != 2) return false;
        return writer >= 0 && writer < kWriters && i >= 0 && i < kPerWriter && text == payload(writer, i);
    };

    Pipe start;
    std::vector<std::unique_ptr<Child>> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.push_back(std::make_unique<Child>([&, w] {
            start.write.reset();
            start.receiveLine();
            auto own = board(*openService(dir));
            for (int i = 0; i < kPerWriter;) {
                PasteboardRead now = own->readStrings();
                if (!now.texts.empty()) continue;  // a command waits: do not clobber it
                if (own->writeItemsIfChangeCount(now.changeCount, {{payload(w, i)}})) ++i;
            }
            return 0;
        }));
    }
    Pipe stopPeeker;
    Child peeker([&] {
        start.write.reset();
        start.receiveLine();
        stopPeeker.write.reset();
        ::fcntl(stopPeeker.read.get(), F_SETFL, O_NONBLOCK);
        auto own = board(*openService(dir));
        char c;
        while (::read(stopPeeker.read.get(), &c, 1) < 0) {
            for (const auto& text : own->readStrings().texts) {
                if (!wellFormed(text)) return 1;
            }
        }
        return 0;
    });
    start.write.reset();  // releases every child at once

    std::multiset<std::string> consumed;
    bool malformed = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (consumed.size() < kWriters * kPerWriter && std::chrono::steady_clock::now() < deadline) {
        if (!pb->canReadString()) continue;
        PasteboardRead read = pb->readStrings();
        if (read.texts.empty()) continue;
        if (pb->clearContentsIfChangeCount(read.changeCount)) {
            for (const auto& text : read.texts) {
                malformed = malformed || !wellFormed(text);
                consumed.insert(text);
            }
        }
    }
    for (auto& writer : writers) EXPECT_EQ(writer->wait(), 0);
    stopPeeker.send("x");
    EXPECT_EQ(peeker.wait(), 0) << "the peeker saw a torn or foreign text";
    EXPECT_FALSE(malformed);
    ASSERT_EQ(consumed.size(), static_cast<std::size_t>(kWriters * kPerWriter));
    for (int w = 0; w < kWriters; ++w) {
        for (int i = 0; i < kPerWriter; ++i) EXPECT_EQ(consumed.count(payload(w, i)), 1u) << w << " " << i;
    }
    EXPECT_FALSE(pb->canReadString());
}

TEST(Pasteboard, WatchCallsBackWhenAnotherProcessWrites) {
    TempDir tmp;
    auto service = openService(tmp.path() / "pb");
    LinuxRunLoop loop;
    int calls = 0;
    auto watch = service->watchChanges(loop, [&] { ++calls; });
    ASSERT_TRUE(watch);
    Child writer([&] {
        board(*openService(tmp.path() / "pb"))->writeItems({{"{\"cmd\":\"close\",\"winID\":3}"}});
        return 0;
    });
    ASSERT_EQ(writer.wait(), 0);
    EXPECT_TRUE(test::runLoopUntil(loop, [&] { return calls > 0; }));
    // Unrelated files in the directory do not wake the agent.
    int before = calls;
    std::ofstream(tmp.path() / "pb" / "notes.txt") << "x";
    board(*service, "Other")->writeItems({{"y"}});
    EXPECT_TRUE(test::runLoopUntil(loop, [&] { return calls > before; }));
    EXPECT_EQ(calls, before + 1) << "one callback for the pasteboard write, none for notes.txt";
}

// Directories someone else could write (or read, for pasteboards) are refused.
TEST(PrivateDirectories, RefuseDirectoriesOthersCanReach) {
    struct Case {
        const char* what;
        std::function<void(const std::filesystem::path&)> prepare;
        bool pasteboardsAccept;
        bool defaultsAccept;
    };
    namespace fs = std::filesystem;
    auto mode = [](mode_t m) {
        return [m](const fs::path& p) { fs::create_directory(p), ::chmod(p.c_str(), m); };
    };
    const std::vector<Case> cases = {
        {"missing (created private)", [](const fs::path&) {}, true, true},
        {"mode 0700", mode(0700), true, true},
        {"mode 0755", mode(0755), false, true},
        {"mode 0770", mode(0770), false, false},
        {"mode 0777", mode(0777), false, false},
        {"mode 0702", mode(0702), false, false},
        {"a symbolic link to a private directory",
         [&](const fs::path& p) {
             mode(0700)(p.string() + "-real");
             fs::create_directory_symlink(p.string() + "-real", p);
         },
         false, false},
        {"a regular file", [](const fs::path& p) { std::ofstream(p) << "x"; }, false, false},
        {"owned by another user",
         [&](const fs::path& p) {
             mode(0700)(p);
             // Only root can hand a directory to someone else; elsewhere this case shows as accepted.
             if (::chown(p.c_str(), ::geteuid() + 1, static_cast<gid_t>(-1)) != 0) fs::remove(p);
         },
         false, false},
    };
    for (const auto& c : cases) {
        for (int kind = 0; kind < 2; ++kind) {
            TempDir tmp;
            const auto dir = tmp.path() / "tarvolin";
            c.prepare(dir);
            if (std::string(c.what) == "owned by another user" && !fs::exists(dir)) continue;  // not root
            std::string error;
            bool accepted;
            if (kind == 0) {
                accepted = FilePasteboardService::open(dir, error) != nullptr;
            } else {
                LocalNotificationCenter center;
                test::RecordingLog log;
                accepted = PlistUserDefaultsService::open(dir, center, log, error) != nullptr;
            }
            bool expected = kind == 0 ? c.pasteboardsAccept : c.defaultsAccept;
            EXPECT_EQ(accepted, expected)
                << (kind == 0 ? "pasteboards, " : "defaults, ") << c.what << ": " << error;
            if (!accepted) {
                EXPECT_NE(error.find(dir.string()), std::string::npos) << "the message names the path";
            }
        }
    }
}

}  // namespace
}  // namespace tarvolin
