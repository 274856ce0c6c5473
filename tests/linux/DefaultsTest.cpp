#include "LinuxTestSupport.h"
#include "platform/LocalNotificationCenter.h"
#include "platform/linux/PlistUserDefaults.h"

#include <fstream>

namespace tarvolin {
namespace {

using test::Child;
using test::TempDir;

struct DefaultsFixture : ::testing::Test {
    TempDir tmp;
    std::filesystem::path dir = tmp.path() / "config" / "tarvolin";
    LocalNotificationCenter center;
    test::RecordingLog log;

    std::unique_ptr<PlistUserDefaultsService> open() {
        std::string error;
        auto service = PlistUserDefaultsService::open(dir, center, log, error);
        EXPECT_TRUE(service) << error;
        return service;
    }
    // A process with its own service, center and log running `body`.
    std::unique_ptr<Child> anotherProcess(const std::function<void(PlistUserDefaultsService&)>& body) {
        return std::make_unique<Child>([&] {
            LocalNotificationCenter own;
            test::RecordingLog ownLog;
            std::string error;
            body(*PlistUserDefaultsService::open(dir, own, ownLog, error));
            return 0;
        });
    }
    void writeFile(const std::string& name, const std::string& bytes) {
        std::ofstream(dir / name, std::ios::binary) << bytes;
    }
};

TEST_F(DefaultsFixture, ValuesRoundTripThroughTheFileAndAnotherReader) {
    auto service = open();
    auto store = service->sharedUserDefaults();
    const std::vector<std::pair<std::string, Value>> values = {
        {"SomeText", Value("Raise:42")},
        {"Unicode", Value("caf\xc3\xa9 \xe2\x9c\x93 <&> \"q\"")},
        {"Negative", Value::integer(-123456789012345)},
        {"Real", Value::real(0.25)},
        {"Flag", Value::boolean(true)},
        {"Bytes", Value::data({0, 1, 2, 255})},
        {"List", Value::array({Value("a"), Value::integer(2), Value::array({})})},
        {"Table", Value::dictionary({{"appName", Value("Editor")}, {"key", Value::array({Value("a")})}})},
    };
    for (const auto& [key, value] : values) store->setObject(key, value);

    auto readerService = open();
    auto reader = readerService->sharedUserDefaults();
    for (const auto& [key, value] : values) {
        auto got = reader->objectForKey(key);
        ASSERT_TRUE(got) << key;
        EXPECT_EQ(*got, value) << key << ": " << got->description();
    }
    store->removeObject("SomeText");
    EXPECT_FALSE(reader->objectForKey("SomeText"));
    EXPECT_TRUE(reader->objectForKey("Flag"));
    EXPECT_FALSE(service->standardUserDefaults()->objectForKey("Flag")) << "domains are separate files";
    EXPECT_TRUE(std::filesystem::exists(dir / "org.tarvolin.shared.plist"));
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(DefaultsFixture, RefusesValuesWithoutAPropertyListFormAndKeepsTheFile) {
    auto store = open()->sharedUserDefaults();
    store->setObject("SomeText", Value("kept"));
    int posted = 0;
    center.addObserver(this, NSUserDefaultsDidChangeNotification, [&](const Notification&) { ++posted; });
    for (const Value& bad : {Value::null(), Value(AXValue::point({1, 2})), Value(Url{"file:///x"}),
                             Value::array({Value("ok"), Value::null()})}) {
        EXPECT_THROW(store->setObject("SomeText", bad), std::invalid_argument) << bad.description();
    }
    EXPECT_THROW(store->setObject(std::string_view("a\0b", 3), Value("x")), std::invalid_argument);
    EXPECT_EQ(store->objectForKey("SomeText"), Value("kept"));
    EXPECT_EQ(posted, 0);
    center.removeObserver(this);
}

TEST_F(DefaultsFixture, UnreadableFilesReadAsNoValuesAndAreLoggedOnce) {
    struct Case {
        const char* what;
        std::string bytes;
    };
    const std::vector<Case> cases = {
        {"empty", ""},
        {"not a plist", "this is not a property list"},
        {"truncated XML", "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>SomeText</key><str"},
        {"array root",
         "<?xml version=\"1.0\"?><plist version=\"1.0\"><array><string>x</string></array></plist>"},
        {"string root", "<?xml version=\"1.0\"?><plist version=\"1.0\"><string>Raise:1</string></plist>"},
    };
    for (const auto& c : cases) {
        TempDir own;
        dir = own.path() / "tarvolin";
        auto service = open();
        std::size_t linesBefore = log.lines().size();
        writeFile("org.tarvolin.shared.plist", c.bytes);
        auto store = service->sharedUserDefaults();
        EXPECT_FALSE(store->objectForKey("SomeText")) << c.what;
        EXPECT_FALSE(store->objectForKey("SomeText")) << c.what;
        EXPECT_EQ(log.lines().size(), linesBefore + 1) << c.what << ": one line per broken file";
        // Writing over it gives a good file again.
        store->setObject("SomeText", Value("Close:5"));
        EXPECT_EQ(store->objectForKey("SomeText"), Value("Close:5")) << c.what;
    }
    // A missing file is simply empty, and not worth a log line.
    TempDir own;
    dir = own.path() / "tarvolin";
    std::size_t linesBefore = log.lines().size();
    EXPECT_FALSE(open()->standardUserDefaults()->objectForKey("WinKey"));
    EXPECT_EQ(log.lines().size(), linesBefore);
}

TEST_F(DefaultsFixture, EntriesOfUnmodelledKindsSurviveAWrite) {
    auto service = open();
    writeFile(
        "org.tarvolin.shared.plist",
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>When</key><date>2020-01-02T03:04:05Z</date>"
        "<key>SomeText</key><string>kill</string></dict></plist>");
    auto store = service->sharedUserDefaults();
    EXPECT_EQ(store->objectForKey("SomeText"), Value("kill"));
    EXPECT_FALSE(store->objectForKey("When")) << "dates have no value form here";
    store->setObject("SomeText", Value("Raise:1"));
    std::ifstream in(dir / "org.tarvolin.shared.plist");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(text.find("<date>2020-01-02T03:04:05Z</date>"), std::string::npos) << text;
}

// The agent's observer sees a change made by another process, through inotify, with the
// changed store as the object; the same command written again is announced again; the
// process's own write is announced exactly once.
TEST_F(DefaultsFixture, ChangesByAnyProcessPostOneNotificationEach) {
    auto service = open();
    LinuxRunLoop loop;
    service->watchChanges(loop);
    auto shared = service->sharedUserDefaults();
    std::vector<std::pair<std::shared_ptr<UserDefaults>, std::optional<Value>>> seen;
    center.addObserver(this, NSUserDefaultsDidChangeNotification, [&](const Notification& n) {
        auto store = std::any_cast<std::shared_ptr<UserDefaults>>(n.object);
        seen.emplace_back(store, store->objectForKey("SomeText"));
    });
    auto writeFromAnotherProcess = [&](const char* domain, const char* text) {
        auto writer =
            anotherProcess([&](auto& other) { other.domain(domain)->setObject("SomeText", Value(text)); });
        ASSERT_EQ(writer->wait(), 0);
    };

    writeFromAnotherProcess("org.tarvolin.shared", "Raise:7");
    ASSERT_TRUE(test::runLoopUntil(loop, [&] { return seen.size() >= 1; }));
    EXPECT_EQ(seen[0].first, shared);
    EXPECT_EQ(seen[0].second, Value("Raise:7"));

    writeFromAnotherProcess("org.tarvolin.shared", "Raise:7");
    ASSERT_TRUE(test::runLoopUntil(loop, [&] { return seen.size() >= 2; }))
        << "same text again is a new command";
    EXPECT_EQ(seen[1].second, Value("Raise:7"));

    shared->setObject("SomeText", Value("Close:3"));  // own write: posted at once
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[2].second, Value("Close:3"));
    // A later external change to the other domain proves the loop has drained the own write's events.
    auto standard = service->standardUserDefaults();
    writeFromAnotherProcess("org.tarvolin.agent", "x");
    ASSERT_TRUE(test::runLoopUntil(loop, [&] { return seen.size() >= 4; }));
    ASSERT_EQ(seen.size(), 4u) << "own write announced twice";
    EXPECT_EQ(seen[3].first, standard);

    std::filesystem::remove(dir / "org.tarvolin.shared.plist");
    ASSERT_TRUE(test::runLoopUntil(loop, [&] { return seen.size() >= 5; })) << "removal is a change";
    EXPECT_EQ(seen[4].first, shared);
    EXPECT_FALSE(seen[4].second);
    center.removeObserver(this);
}

TEST_F(DefaultsFixture, ConcurrentWritersOfDifferentKeysLoseNothing) {
    auto service = open();
    constexpr int kWriters = 3, kKeys = 40;
    auto key = [](int w, int k) { return "w" + std::to_string(w) + "k" + std::to_string(k); };
    std::vector<std::unique_ptr<Child>> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.push_back(anotherProcess([&, w](auto& other) {
            auto store = other.sharedUserDefaults();
            for (int k = 0; k < kKeys; ++k) store->setObject(key(w, k), Value::integer(k));
        }));
    }
    for (auto& writer : writers) ASSERT_EQ(writer->wait(), 0);
    auto all = service->sharedUserDefaults();
    for (int w = 0; w < kWriters; ++w) {
        for (int k = 0; k < kKeys; ++k)
            EXPECT_EQ(all->objectForKey(key(w, k)), Value::integer(k)) << key(w, k);
    }
}

TEST_F(DefaultsFixture, DomainNamesMustBePlainFileNames) {
    auto service = open();
    for (std::string_view name : {"", "../evil", "a/b", ".hidden", "sp ace"}) {
        EXPECT_THROW(service->domain(name), std::invalid_argument) << name;
    }
    EXPECT_EQ(service->domain("org.tarvolin.shared"), service->sharedUserDefaults());
}

}  // namespace
}  // namespace tarvolin
