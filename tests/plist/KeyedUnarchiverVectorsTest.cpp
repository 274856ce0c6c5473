// The decoder against the committed vectors: every file of winkey/ as manifest.json says, and the
// archives Foundation wrote (real/) as the README describes them.
#include "KeyedArchiveTestSupport.h"
#include "platform/plist/LibplistKeyedUnarchiver.h"

#include <gtest/gtest.h>

#include <set>

namespace tarvolin {
namespace {

using namespace plisttest;
namespace fs = std::filesystem;

struct Vector {
    std::string file;
    std::uintmax_t bytes;
    nlohmann::json expected;
};

void PrintTo(const Vector& v, std::ostream* os) { *os << v.file; }

std::string manifestError;  // why the manifest did not load, if it did not

std::vector<Vector> manifestVectors() {
    std::vector<Vector> out;
    try {
        std::ifstream in(archivesDir() / "winkey" / "manifest.json");
        const auto manifest = nlohmann::json::parse(in);
        for (const auto& v : manifest.at("vectors")) {
            out.push_back(
                {v.at("file").get<std::string>(), v.at("bytes").get<std::uintmax_t>(), v.at("expected")});
        }
    } catch (const std::exception& e) {
        manifestError = e.what();  // reported by KeyedArchiveManifest.CoversEveryFile
        out.clear();
    }
    return out;
}

std::optional<Value> decode(const std::vector<std::uint8_t>& bytes) {
    return LibplistKeyedUnarchiver().unarchiveObjectWithData(bytes);
}

std::optional<Value> decodeFile(const fs::path& path) { return decode(readFile(path)); }

TEST(KeyedArchiveManifest, CoversEveryFile) {
    std::set<std::string> listed;
    for (const auto& v : manifestVectors()) listed.insert(v.file);
    EXPECT_EQ(manifestError, "");
    std::set<std::string> present;
    for (const auto& entry : fs::directory_iterator(archivesDir() / "winkey")) {
        if (entry.path().filename() != "manifest.json") present.insert(entry.path().filename().string());
    }
    EXPECT_EQ(listed.size(), 36u);
    EXPECT_EQ(listed, present);
}

class WinKeyVector : public testing::TestWithParam<Vector> {};

TEST_P(WinKeyVector, DecodesAsTheManifestSays) {
    const Vector& v = GetParam();
    const auto bytes = readFile(archivesDir() / "winkey" / v.file);
    ASSERT_EQ(bytes.size(), v.bytes) << "the committed file differs from the one the manifest describes";
    const auto decoded = decode(bytes);
    if (v.expected == "invalid" || v.expected.is_null()) {  // malformed, or a nil root
        EXPECT_FALSE(decoded) << show(decoded);
    } else {
        ASSERT_TRUE(decoded);
        EXPECT_EQ(*decoded, valueFromJson(v.expected))
            << "decoded:  " << show(decoded) << "\nexpected: " << valueFromJson(v.expected).description();
    }
}

INSTANTIATE_TEST_SUITE_P(Manifest, WinKeyVector, testing::ValuesIn(manifestVectors()),
                         [](const testing::TestParamInfo<Vector>& vector) {
                             return fs::path(vector.param.file).stem().string();
                         });

// --- real/: written by Foundation ---

fs::path real(const char* name) { return archivesDir() / "real" / name; }

Value strings(std::initializer_list<const char*> items) {
    Value::Array a;
    for (const char* s : items) a.emplace_back(s);
    return Value::array(std::move(a));
}

Value dict(std::initializer_list<std::pair<const std::string, Value>> items) {
    return Value::dictionary(items);
}

TEST(KeyedArchiveRealSamples, SimpleArrayDecodesToNestedArrays) {
    EXPECT_EQ(decodeFile(real("michaelwright235-simpleArray.plist")),
              Value::array({"value1", "value2", strings({"innerValue3", "innerValue4"})}));
}

TEST(KeyedArchiveRealSamples, XmlArchiveWithCFUIDDictionariesDecodes) {
    EXPECT_EQ(decodeFile(real("swiftcorelibs-NSKeyedUnarchiver-ArrayTest.xml.plist")),
              strings({"baa", "baa", "black", "sheep"}));
}

TEST(KeyedArchiveRealSamples, NilRootDecodesToNothing) {
    const auto bytes = readFile(real("kiler129-null.bin.plist"));
    EXPECT_FALSE(decode(bytes));
    EXPECT_EQ(bytes, readFile(archivesDir() / "winkey" / "null_root.plist"));
}

TEST(KeyedArchiveRealSamples, ArrayContainingItselfDecodesToNothing) {
    EXPECT_FALSE(decodeFile(real("michaelwright235-circularReference.plist")));
}

TEST(KeyedArchiveRealSamples, NestedDictionariesWithSharedStringsAndUrlDecode) {
    const Value expected = dict({
        {"level", Value::integer(0)},
        {"levelPath", strings({"zero"})},
        {"levelZeroData",
         dict({
             {"level", Value::integer(1)},
             {"levelPath", strings({"zero", "one"})},
             {"levelOneData", dict({
                                  {"level", Value::integer(2)},
                                  {"levelPath", strings({"zero", "one", "two"})},
                                  {"sampleUrl", Value(Url{"https://example.com/foo/bar?a=b#hash"})},
                              })},
         })},
    });
    const auto decoded = decodeFile(real("kiler129-nested.bin.plist"));
    EXPECT_EQ(decoded, expected) << show(decoded);
}

TEST(KeyedArchiveRealSamples, AttributedStringDecodesToItsText) {
    EXPECT_EQ(decodeFile(real("swiftcorelibs-NSMutableAttributedString.archive")), Value("0123456789"));
}

// The same Foundation archive with $top.root moved onto its members: the attribute list (an
// NSMutableArray of NSDictionary objects, one empty, two distinct ones sharing keys and values) and
// the NSMutableData.
std::optional<Value> attributedStringMember(std::uint64_t uid) {
    auto archive = parsePlist(readFile(real("swiftcorelibs-NSMutableAttributedString.archive")));
    plist_set_uid_val(plist_access_path(archive.get(), 2, "$top", "root"), uid);
    return decode(toBinary(archive.get()));
}

TEST(KeyedArchiveRealSamples, AttributedStringAttributesDecode) {
    const Value times = dict({{"Size", Value::integer(456)}, {"Font", "Times"}});
    const auto decoded = attributedStringMember(4);
    const Value helvetica = dict({{"Size", Value::integer(123)}, {"Font", "Helvetica"}});
    EXPECT_EQ(decoded, Value::array({Value::dictionary({}), helvetica, times, times})) << show(decoded);
    EXPECT_EQ(attributedStringMember(17),
              Value::data({0x01, 0x00, 0x01, 0x01, 0x04, 0x02, 0x02, 0x01, 0x01, 0x03, 0x01, 0x00}));
    EXPECT_FALSE(attributedStringMember(3)) << "a class entry is not an object";
    EXPECT_FALSE(attributedStringMember(20)) << "past the end of $objects";
}

}  // namespace
}  // namespace tarvolin
