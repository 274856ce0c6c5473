// Malformed and hostile input: the decoder gives nothing (or a value) and never crashes or hangs.
// Runs under ASan/UBSan in the asan preset.
#include "KeyedArchiveTestSupport.h"
#include "platform/plist/KeyedArchiver.h"
#include "platform/plist/LibplistKeyedUnarchiver.h"

#include <gtest/gtest.h>

#include <random>

namespace tarvolin {
namespace {

using namespace plisttest;

std::optional<Value> decode(const std::vector<std::uint8_t>& bytes) {
    return LibplistKeyedUnarchiver().unarchiveObjectWithData(bytes);
}

// Every vector and sample that decodes to a value.
std::vector<std::pair<std::string, std::vector<std::uint8_t>>> validArchives() {
    std::vector<std::pair<std::string, std::vector<std::uint8_t>>> out;
    for (const auto& dir : {archivesDir() / "winkey", archivesDir() / "real"}) {
        for (const auto& file : std::filesystem::directory_iterator(dir)) {
            if (file.path().filename() == "manifest.json") continue;
            auto bytes = readFile(file.path());
            if (decode(bytes)) out.emplace_back(file.path().filename().string(), std::move(bytes));
        }
    }
    return out;
}

TEST(KeyedUnarchiverRobustness, RandomBytesDecodeToNothing) {
    std::mt19937 rng(20240601);
    const std::string prefixes[] = {"", "bplist00", "<?xml version=\"1.0\"?><plist version=\"1.0\">"};
    for (int i = 0; i < 3000; ++i) {
        const std::string& prefix = prefixes[i % 3];
        std::vector<std::uint8_t> bytes(prefix.begin(), prefix.end());
        const size_t n = rng() % 600;
        for (size_t k = 0; k < n; ++k) bytes.push_back(static_cast<std::uint8_t>(rng()));
        EXPECT_FALSE(decode(bytes)) << "case " << i;
    }
}

// Each valid archive cut at every length: nothing, or (for a cut that only drops trailing
// whitespace of an XML file) the full value.
TEST(KeyedUnarchiverRobustness, EveryTruncationOfEveryValidArchive) {
    const auto archives = validArchives();
    ASSERT_EQ(archives.size(), 22u);
    for (const auto& [name, bytes] : archives) {
        const auto full = decode(bytes);
        for (size_t length = 0; length < bytes.size(); ++length) {
            const std::vector<std::uint8_t> cut(bytes.data(), bytes.data() + length);
            const auto decoded = decode(cut);
            if (decoded) {
                EXPECT_EQ(decoded, full) << name << " cut to " << length << ": " << show(decoded);
            }
        }
    }
}

// Each valid archive with a few bytes overwritten: whatever comes out, no crash and no hang.
TEST(KeyedUnarchiverRobustness, MutatedValidArchives) {
    std::mt19937 rng(7);
    for (const auto& [name, bytes] : validArchives()) {
        for (int i = 0; i < 300; ++i) {
            auto mutated = bytes;
            for (unsigned k = 0, n = 1 + rng() % 4; k < n; ++k) {
                mutated[rng() % mutated.size()] = static_cast<std::uint8_t>(rng());
            }
            (void)decode(mutated);
        }
    }
    SUCCEED();
}

// --- hand-made archives probing the limits ---

// $objects: $null, N nested NSArrays (each holding the next; the last holds a string), the class.
std::vector<std::uint8_t> nestedArrays(std::uint64_t n) {
    plist_t objects = plist_new_array();
    plist_array_append_item(objects, plist_new_string("$null"));
    const std::uint64_t cls = n + 2;
    for (std::uint64_t i = 1; i <= n; ++i) plist_array_append_item(objects, arrayObject({i + 1}, cls));
    plist_array_append_item(objects, plist_new_string("leaf"));
    plist_array_append_item(objects, classEntry("NSArray"));
    return rawArchive(objects, 1);
}

TEST(KeyedUnarchiverRobustness, NestingIsBounded) {
    const auto depth = static_cast<std::uint64_t>(LibplistKeyedUnarchiver::kMaxDepth);
    auto shallow = decode(nestedArrays(depth - 1));  // depth - 1 arrays and the leaf string
    ASSERT_TRUE(shallow);
    std::uint64_t levels = 0;
    for (const Value* v = &*shallow; v->asArray(); v = &v->asArray()->front()) ++levels;
    EXPECT_EQ(levels, depth - 1);
    EXPECT_FALSE(decode(nestedArrays(depth)));
    EXPECT_FALSE(decode(nestedArrays(20000)));  // stopped by the bound, not by the stack
}

// 64 levels, each array holding the next one twice: 2^64 paths, 64 objects. Shared objects are
// decoded once, so this is quick.
TEST(KeyedUnarchiverRobustness, WideSharingIsDecodedOnce) {
    constexpr std::uint64_t kLevels = 64;
    plist_t objects = plist_new_array();
    plist_array_append_item(objects, plist_new_string("$null"));
    for (std::uint64_t i = 1; i <= kLevels; ++i) {
        plist_array_append_item(objects, arrayObject({i + 1, i + 1}, kLevels + 2));
    }
    plist_array_append_item(objects, plist_new_string("leaf"));
    plist_array_append_item(objects, classEntry("NSMutableArray"));
    const auto decoded = decode(rawArchive(objects, 1));
    ASSERT_TRUE(decoded);
    const Value* v = &*decoded;
    for (std::uint64_t i = 0; i < kLevels; ++i) {
        ASSERT_EQ(v->asArray()->size(), 2u);
        v = &v->asArray()->back();
    }
    EXPECT_EQ(*v, Value("leaf"));
}

TEST(KeyedUnarchiverRobustness, MemberReferences) {
    auto archiveWith = [](plist_t member) {  // root NSArray holding `member` as its one reference
        plist_t objects = plist_new_array();
        plist_array_append_item(objects, plist_new_string("$null"));
        plist_t root = arrayObject({}, 2);
        plist_array_append_item(plist_dict_get_item(root, "NS.objects"), member);
        plist_array_append_item(objects, root);
        plist_array_append_item(objects, classEntry("NSArray"));
        plist_array_append_item(objects, plist_new_string("ok"));
        return decode(rawArchive(objects, 1));
    };
    auto cfuid = [](std::uint64_t n) {
        plist_t d = plist_new_dict();
        plist_dict_set_item(d, "CF$UID", plist_new_uint(n));
        return d;
    };
    EXPECT_EQ(archiveWith(plist_new_uid(3)), Value::array({"ok"}));
    EXPECT_EQ(archiveWith(cfuid(3)), Value::array({"ok"}));  // the XML form in a binary archive
    EXPECT_EQ(archiveWith(plist_new_uid(0)), Value::array({Value::null()}));
    EXPECT_FALSE(archiveWith(plist_new_uid(4)));        // past the end
    EXPECT_FALSE(archiveWith(cfuid(1ULL << 33)));       // above UINT32_MAX
    EXPECT_FALSE(archiveWith(plist_new_uint(3)));       // an integer, not a UID
    EXPECT_FALSE(archiveWith(plist_new_string("ok")));  // an inline object, not a UID
    EXPECT_FALSE(archiveWith(plist_new_uid(2)));        // a class entry
}

TEST(KeyedUnarchiverRobustness, ObjectShapes) {
    auto rootObject = [](plist_t object, const char* className) {
        plist_t objects = plist_new_array();
        plist_array_append_item(objects, plist_new_string("$null"));
        plist_dict_set_item(object, "$class", plist_new_uid(2));
        plist_array_append_item(objects, object);
        plist_array_append_item(objects, classEntry(className));
        plist_array_append_item(objects, plist_new_uint(5));
        plist_array_append_item(objects, plist_new_string("url"));
        return decode(rawArchive(objects, 1));
    };
    using Uids = std::initializer_list<std::uint64_t>;
    auto uids = [](Uids items) {
        plist_t list = plist_new_array();
        for (auto i : items) plist_array_append_item(list, plist_new_uid(i));
        return list;
    };
    auto dictionary = [&](Uids keys, Uids values) {
        plist_t d = plist_new_dict();
        plist_dict_set_item(d, "NS.keys", uids(keys));
        plist_dict_set_item(d, "NS.objects", uids(values));
        return d;
    };
    EXPECT_EQ(rootObject(dictionary({4}, {3}), "NSDictionary"),
              Value::dictionary({{"url", Value::integer(5)}}));
    EXPECT_FALSE(rootObject(dictionary({3}, {4}), "NSDictionary")) << "a number as a key";
    EXPECT_FALSE(rootObject(dictionary({0}, {4}), "NSDictionary")) << "$null as a key";
    EXPECT_FALSE(rootObject(dictionary({4, 4}, {3, 3}), "NSDictionary")) << "a key twice";
    EXPECT_FALSE(rootObject(dictionary({4}, {3}), "NSSet")) << "an unknown class";
    EXPECT_FALSE(rootObject(plist_new_dict(), "NSArray")) << "no NS.objects";

    plist_t url = plist_new_dict();
    plist_dict_set_item(url, "NS.base", plist_new_uid(0));
    plist_dict_set_item(url, "NS.relative", plist_new_uid(4));
    EXPECT_EQ(rootObject(url, "NSURL"), Value(Url{"url"}));
    url = plist_new_dict();
    plist_dict_set_item(url, "NS.base", plist_new_uid(4));
    plist_dict_set_item(url, "NS.relative", plist_new_uid(4));
    EXPECT_FALSE(rootObject(url, "NSURL")) << "a URL relative to a base is not resolved";

    plist_t text = plist_new_dict();
    plist_dict_set_item(text, "NS.string", plist_new_string("t"));
    EXPECT_EQ(rootObject(text, "NSMutableString"), Value("t"));
    text = plist_new_dict();
    plist_dict_set_item(text, "NS.string", plist_new_uint(1));
    EXPECT_FALSE(rootObject(text, "NSString"));
}

TEST(KeyedUnarchiverRobustness, RootShapes) {
    auto withRoot = [](plist_t objects, std::uint64_t root) { return decode(rawArchive(objects, root)); };
    plist_t objects = plist_new_array();
    plist_array_append_item(objects, plist_new_string("$null"));
    plist_array_append_item(objects, plist_new_real(2.5));
    EXPECT_EQ(withRoot(objects, 1), Value::real(2.5));
    objects = plist_new_array();
    plist_array_append_item(objects, plist_new_string("$null"));
    plist_array_append_item(objects, plist_new_array());
    EXPECT_FALSE(withRoot(objects, 1)) << "a bare plist array is not an archived object";
    EXPECT_FALSE(withRoot(plist_new_array(), 0)) << "empty $objects";
}

}  // namespace
}  // namespace tarvolin
