#include "LinuxTestSupport.h"
#include "platform/LocalNotificationCenter.h"
#include "platform/linux/session/PlistUserDefaults.h"

#include <algorithm>

namespace tarvolin {
namespace {

namespace fs = std::filesystem;

struct DefaultsFixture : ::testing::Test {
    test::TempDir tmp;
    fs::path dir = tmp.path() / "config" / "tarvolin";
    fs::path file = dir / "org.tarvolin.shared.plist";
    LocalNotificationCenter center;
    test::RecordingLog log;

    std::unique_ptr<PlistUserDefaultsService> open() {
        std::string error;
        auto service = PlistUserDefaultsService::open(dir, center, log, error);
        EXPECT_TRUE(service) << error;
        return service;
    }
    // Another process with its own service writing `entries` into `domain`.
    std::unique_ptr<test::Child> writer(const char* domain,
                                        const std::vector<std::pair<std::string, Value>>& entries) {
        return std::make_unique<test::Child>([&] {
            LocalNotificationCenter own;
            std::string error;
            auto store = PlistUserDefaultsService::open(dir, own, log, error)->domain(domain);
            for (const auto& [key, value] : entries) store->setObject(key, value);
            return 0;
        });
    }
};

TEST_F(DefaultsFixture, ValuesRoundTripThroughTheFileToAnotherProcess) {
    const std::vector<Value> values = {
        Value("Raise:42"),
        Value::integer(-123456789012345),
        Value::real(0.25),
        Value::boolean(true),
        Value::data({0, 1, 2, 255}),
        Value::array({Value("a"), Value::integer(2), Value::array({})}),
        Value::dictionary({{"appName", Value("Editor")}, {"key", Value::array({Value("a")})}}),
    };
    // Writers of different keys in other processes at once lose nothing.
    std::vector<std::unique_ptr<test::Child>> writers;
    for (std::size_t k = 0; k < values.size(); ++k)
        writers.push_back(writer("org.tarvolin.shared", {{"Key" + std::to_string(k), values[k]}}));
    for (auto& w : writers) ASSERT_EQ(w->wait(), 0);
    auto service = open();
    auto store = service->sharedUserDefaults();
    for (std::size_t k = 0; k < values.size(); ++k)
        EXPECT_EQ(store->objectForKey("Key" + std::to_string(k)), values[k]) << k;
    store->removeObject("Key0");
    EXPECT_FALSE(open()->sharedUserDefaults()->objectForKey("Key0"));
    EXPECT_FALSE(service->standardUserDefaults()->objectForKey("Key1")) << "domains are separate files";
    for (std::string_view name : {"", "a/b", ".hidden", "sp ace"})
        EXPECT_THROW(service->domain(name), std::invalid_argument) << name;
    EXPECT_TRUE(log.lines.empty());
}

TEST_F(DefaultsFixture, EntriesOfKindsWithoutAValueReadAsAbsentAndSurviveAWrite) {
    auto store = open()->sharedUserDefaults();
    test::plant(
        file,
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>When</key><date>2020-01-02T03:04:05Z</date>"
        "<key>SomeText</key><string>kept</string></dict></plist>");
    EXPECT_FALSE(store->objectForKey("When")) << "dates have no value form here";
    EXPECT_EQ(store->objectForKey("SomeText"), Value("kept"));
    store->setObject("SomeText", Value("Raise:1"));
    EXPECT_NE(test::contents(file).find("<date>2020-01-02T03:04:05Z</date>"), std::string::npos);
}

// A broken file reads as no values, logged once; a write replaces it and keeps it (unless
// empty) under a name that says so, and the log says where.
TEST_F(DefaultsFixture, UnreadableFilesReadAsNoValuesAndAWriteKeepsThemAside) {
    auto store = open()->sharedUserDefaults();
    EXPECT_FALSE(store->objectForKey("SomeText"));
    EXPECT_TRUE(log.lines.empty()) << "a missing file is simply empty";
    std::size_t broken = 0;
    for (const std::string bytes : {"", "<plist><dict><key>Som"}) {
        test::plant(file, bytes);
        log.lines.clear();
        EXPECT_FALSE(store->objectForKey("SomeText")) << bytes;
        EXPECT_FALSE(store->objectForKey("SomeText")) << bytes;
        EXPECT_EQ(log.lines.size(), 1u) << bytes << ": one line per broken file";
        errno = EINTR;  // left over from an earlier call: the write must not mistake it for its own
        store->setObject("SomeText", Value("Close:5"));  // writing over it gives a good file again
        EXPECT_EQ(open()->sharedUserDefaults()->objectForKey("SomeText"), Value("Close:5")) << bytes;
        std::vector<fs::path> kept;  // oldest first: a second one in the same second gets "-2"
        for (const auto& entry : fs::directory_iterator(dir))
            if (entry.path().filename().string().starts_with("org.tarvolin.shared.plist.unreadable-"))
                kept.push_back(entry.path());
        std::sort(kept.begin(), kept.end());
        broken += bytes.empty() ? 0 : 1;
        ASSERT_EQ(kept.size(), broken) << bytes;
        if (!bytes.empty()) {
            EXPECT_EQ(test::contents(kept.back()), bytes);
            EXPECT_NE(log.lines.back().find("kept it as " + kept.back().filename().string()),
                      std::string::npos)
                << log.lines.back();
        }
    }
}

// The agent's observer sees a change made by another process, through inotify, with the
// changed store as the object; the same command written again is announced again; the
// process's own write is announced exactly once; so is a change whose name an overflowing
// burst of events lost.
TEST_F(DefaultsFixture, ChangesByAnyProcessPostOneNotificationEach) {
    auto service = open();
    LinuxRunLoop loop;
    service->watchChanges(loop);
    auto shared = service->sharedUserDefaults();
    auto standard = service->standardUserDefaults();
    std::vector<std::pair<std::shared_ptr<UserDefaults>, std::optional<Value>>> seen;
    center.addObserver(this, NSUserDefaultsDidChangeNotification, [&](const Notification& n) {
        auto store = std::any_cast<std::shared_ptr<UserDefaults>>(n.object);
        seen.emplace_back(store, store->objectForKey("SomeText"));
    });
    auto write = [&](const char* domain, const char* text) {
        ASSERT_EQ(writer(domain, {{"SomeText", Value(text)}})->wait(), 0);
    };
    auto expectNext = [&](const std::shared_ptr<UserDefaults>& store, std::optional<Value> value) {
        ASSERT_TRUE(test::runLoopUntil(loop, [&] { return seen.size() > 0; }));
        EXPECT_EQ(seen.size(), 1u) << "announced more than once";
        EXPECT_EQ(seen[0], std::pair(store, value));
        seen.clear();
    };
    write("org.tarvolin.shared", "Raise:7");
    expectNext(shared, Value("Raise:7"));
    write("org.tarvolin.shared", "Raise:7");
    expectNext(shared, Value("Raise:7"));  // the same text again is a new command

    shared->setObject("SomeText", Value("Close:3"));
    EXPECT_EQ(seen.size(), 1u) << "own write: posted at once";
    seen.clear();
    // A later external change to the other domain proves the loop has drained the own write's events.
    write("org.tarvolin.agent", "x");
    expectNext(standard, Value("x"));
    fs::remove(file);
    expectNext(shared, std::nullopt);  // removal is a change
    // A burst of file events that overflows the watch's queue loses their names, not the change.
    int queue = 16384;
    std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> queue;
    for (int i = 0; i < queue / 2 + 1; ++i) {  // two events each: closed after writing, deleted
        UniqueFd(::open((dir / "notes.txt").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
        ::unlink((dir / "notes.txt").c_str());
    }
    write("org.tarvolin.shared", "Raise:1");
    expectNext(shared, Value("Raise:1"));
    center.removeObserver(this);
}

// Such a file is not read, and a write never replaces it: the link, the shared file and what
// they hold stay as they were, and the log says why.
TEST_F(DefaultsFixture, FilesOthersCouldHaveWrittenAreIgnoredAndKeptWithTheReason) {
    struct Case {
        int mode;
        bool link;
        uid_t owner;
        std::string reason;  // empty: the file is obeyed
    };
    const std::string kill =
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>SomeText</key><string>kill</string>"
        "</dict></plist>";
    auto store = open()->sharedUserDefaults();
    std::vector<Case> cases = {{0620, false, 0, "group or others may write it (mode 0620)"},
                               {0600, true, 0, "it is a symbolic link"},
                               {0644, false, 0, ""}};
    if (::geteuid() == 0) cases.push_back({0600, false, 65534, "it is owned by uid 65534, not by this user"});
    const fs::path target = tmp.path() / "elsewhere.plist";
    for (const auto& c : cases) {
        fs::remove(file);
        test::plant(c.link ? target : file, kill, fs::perms(c.mode));
        if (c.link) fs::create_symlink(target, file);
        ASSERT_TRUE(c.owner == 0 || ::chown(file.c_str(), c.owner, c.owner) == 0);
        log.lines.clear();
        EXPECT_EQ(store->objectForKey("SomeText"),
                  c.reason.empty() ? std::optional(Value("kill")) : std::nullopt);
        if (c.reason.empty()) continue;
        EXPECT_EQ(log.lines, std::vector<std::string>{
                                 "tarvolin: ignoring defaults file org.tarvolin.shared.plist: " + c.reason});
        EXPECT_THROW(store->setObject("Other", Value("x")), std::system_error) << c.reason;
        EXPECT_EQ(test::contents(c.link ? target : file), kill) << c.reason;
    }
}

// Values without a property-list form, text a file cannot hold whole included.
TEST_F(DefaultsFixture, ValuesAFileCannotHoldAreRefusedOnWrite) {
    auto store = open()->sharedUserDefaults();
    store->setObject("SomeText", Value("kept"));
    const std::string nul("Raise:1\0Close:2", 15);
    for (const Value& v : {Value(nul), Value::array({Value(nul)}), Value::dictionary({{nul, Value("v")}}),
                           Value(std::string("\xff\xfe")), Value::null()}) {
        EXPECT_THROW(store->setObject("SomeText", v), std::invalid_argument) << v.description();
        EXPECT_EQ(store->objectForKey("SomeText"), Value("kept")) << v.description();
    }
}

}  // namespace
}  // namespace tarvolin
