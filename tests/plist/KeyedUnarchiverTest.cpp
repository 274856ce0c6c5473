// The reader against the committed vectors (winkey/ as manifest.json says, real/ as Foundation
// wrote them), hand-written archives at the limits, and malformed input. Runs under ASan/UBSan too.
#include "KeyedArchiveTestSupport.h"

namespace tarvolin {
namespace {

using namespace plisttest;
namespace fs = std::filesystem;

// Each expectation: JSON for the value (see valueFromJson), or none for "decodes to nothing".
void expectDecodes(const Bytes& bytes, const std::optional<json>& expected, const std::string& what) {
    const auto decoded = decode(bytes);
    if (expected) {
        EXPECT_EQ(decoded, valueFromJson(*expected)) << what;
    } else {
        EXPECT_FALSE(decoded) << what << ": " << decoded->description();
    }
}

TEST(KeyedArchiveVectors, EveryManifestVectorDecodesAsTheManifestSays) {
    std::ifstream in(archivesDir() / "winkey" / "manifest.json");
    const auto manifest = json::parse(in);
    EXPECT_EQ(manifest.at("vectors").size(), 36u);
    for (const auto& v : manifest.at("vectors")) {
        const auto file = v.at("file").get<std::string>();
        const auto bytes = readFile(archivesDir() / "winkey" / file);
        ASSERT_EQ(bytes.size(), v.at("bytes").get<size_t>()) << file << " differs from the manifest's";
        const json& expected = v.at("expected");  // "invalid", null (a nil root), or the value
        expectDecodes(bytes,
                      expected == "invalid" || expected.is_null() ? std::nullopt : std::optional(expected),
                      file);
    }
}

// The attributed string's archive with $top.root moved onto one of its objects.
Bytes attributedStringMember(std::uint64_t uid) {
    auto archive =
        parsePlist(readFile(archivesDir() / "real" / "swiftcorelibs-NSMutableAttributedString.archive"));
    plist_set_uid_val(plist_access_path(archive.get(), 2, "$top", "root"), uid);
    return toBinary(archive.get());
}

TEST(KeyedArchiveVectors, ArchivesWrittenByFoundation) {
    struct Case {
        const char* file;
        std::optional<json> expected;
    };
    const Case cases[] = {
        {"swiftcorelibs-NSMutableAttributedString.archive", "0123456789"},
        {"kiler129-nested.bin.plist", json::parse(R"({"level": 0, "levelPath": ["zero"], "levelZeroData": {
             "level": 1, "levelPath": ["zero", "one"], "levelOneData": {"level": 2, "levelPath": ["zero", "one", "two"],
             "sampleUrl": {"$url": "https://example.com/foo/bar?a=b#hash"}}}})")},
    };
    for (const auto& c : cases) expectDecodes(readFile(archivesDir() / "real" / c.file), c.expected, c.file);
    // Its data, the only NSData among the vectors.
    expectDecodes(attributedStringMember(17),
                  json::parse(R"({"$data": [1, 0, 1, 1, 4, 2, 2, 1, 1, 3, 1, 0]})"), "data");
}

TEST(KeyedUnarchiver, HandWrittenArchivesAtTheLimits) {
    std::ifstream in(archivesDir() / "handwritten.json");
    const auto cases = json::parse(in).at("cases");
    EXPECT_EQ(cases.size(), 24u);
    for (const auto& c : cases) {
        const json& expected = c.at("expected");
        expectDecodes(archiveOf(c.at("objects")),
                      expected == "invalid" ? std::nullopt : std::optional(expected),
                      c.at("note").get<std::string>());
    }
}

// $objects: $null, n NSArrays each holding the next `width` times, a leaf string, the class entry.
Bytes nestedArrays(std::uint64_t n, int width = 1) {
    json objects = {"$null"};
    for (std::uint64_t i = 1; i <= n; ++i) {
        json members = json::array();
        for (int k = 0; k < width; ++k) members.push_back(json{{"UID", i + 1}});
        objects.push_back(json{{"NS.objects", members}, {"$class", {{"UID", n + 2}}}});
    }
    objects.push_back("leaf");
    objects.push_back({{"$classname", "NSMutableArray"}});
    return archiveOf(objects);
}

TEST(KeyedUnarchiver, NestingIsBoundedAndSharedObjectsAreDecodedOnce) {
    const auto depth = static_cast<std::uint64_t>(LibplistKeyedUnarchiver::kMaxDepth);
    EXPECT_TRUE(decode(nestedArrays(depth - 1)));  // depth - 1 arrays and the leaf string
    EXPECT_FALSE(decode(nestedArrays(depth)));
    EXPECT_FALSE(decode(nestedArrays(20000)));  // stopped by the bound, not by the stack
    // 64 levels, each array holding the next one twice: 2^64 paths through 64 objects.
    const auto wide = decode(nestedArrays(64, 2));
    ASSERT_TRUE(wide);
    const Value* v = &*wide;
    for (int i = 0; i < 64; ++i, v = &v->asArray()->back()) ASSERT_EQ(v->asArray()->size(), 2u);
    EXPECT_EQ(*v, Value("leaf"));
}

// Every decodable vector.
std::vector<std::pair<std::string, Bytes>> validArchives() {
    std::vector<std::pair<std::string, Bytes>> out;
    for (const auto& dir : {archivesDir() / "winkey", archivesDir() / "real"})
        for (const auto& file : fs::directory_iterator(dir))
            if (auto bytes = readFile(file.path()); file.path().extension() != ".json" && decode(bytes))
                out.emplace_back(file.path().filename().string(), std::move(bytes));
    return out;
}

TEST(KeyedUnarchiver, TruncatedArchivesDecodeToNothing) {
    // Every valid archive cut at every length: nothing, or (for a cut that only drops trailing
    // whitespace of an XML file) the full value.
    const auto archives = validArchives();
    ASSERT_EQ(archives.size(), 22u);
    for (const auto& [name, bytes] : archives) {
        const auto full = decode(bytes);
        for (size_t length = 0; length < bytes.size(); ++length) {
            const auto decoded = decode(Bytes(bytes.begin(), bytes.begin() + static_cast<long>(length)));
            if (decoded) {
                EXPECT_EQ(decoded, full) << name << " cut to " << length;
            }
        }
    }
}

}  // namespace
}  // namespace tarvolin
