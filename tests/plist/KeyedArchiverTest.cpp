// The writer: what it writes reads back equal, and libplist sees NSKeyedArchiver's layout in it.
#include "KeyedArchiveTestSupport.h"
#include "platform/plist/KeyedArchiver.h"
#include "platform/plist/LibplistKeyedUnarchiver.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>

namespace tarvolin {
namespace {

using namespace plisttest;

std::optional<Value> decode(const std::vector<std::uint8_t>& bytes) {
    return LibplistKeyedUnarchiver().unarchiveObjectWithData(bytes);
}

Value entry(const char* appName, std::initializer_list<const char*> labels) {
    Value::Array key;
    for (const char* s : labels) key.emplace_back(s);
    return Value::dictionary({{"appName", appName}, {"key", Value::array(std::move(key))}});
}

Value sampleTable() {
    return Value::array({
        entry("Editor", {"a", "b"}),
        entry("Terminal", {"1", "2", "3"}),
        // 日本語: 鍵, 🔑 (non-ASCII strings are written as UTF-16, the key as a surrogate pair)
        entry("\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e", {"\xe9\x8d\xb5", "\xf0\x9f\x94\x91"}),
        entry("Caf\xc3\xa9", {}),
        entry("", {"empty-name"}),
    });
}

std::string stringAt(plist_t node) {
    uint64_t length = 0;
    const char* p = plist_get_string_ptr(node, &length);
    return p ? std::string(p, length) : std::string();
}

TEST(KeyedArchiver, TableReadsBackEqual) {
    const Value table = sampleTable();
    const auto bytes = archiveKeyedBinary(table);
    ASSERT_GE(bytes.size(), 8u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 8), "bplist00");
    const auto decoded = decode(bytes);
    EXPECT_EQ(decoded, table) << show(decoded);
}

TEST(KeyedArchiver, LibplistSeesTheKeyedArchiveStructure) {
    const auto archive = parsePlist(archiveKeyedBinary(sampleTable()));
    plist_t top = archive.get();
    ASSERT_TRUE(top);
    ASSERT_EQ(plist_get_node_type(top), PLIST_DICT);
    EXPECT_EQ(plist_dict_get_size(top), 4u);
    EXPECT_EQ(stringAt(plist_dict_get_item(top, "$archiver")), "NSKeyedArchiver");
    plist_t version = plist_dict_get_item(top, "$version");
    ASSERT_EQ(plist_get_node_type(version), PLIST_UINT);
    EXPECT_EQ(plist_uint_val_compare(version, 100000), 0);
    plist_t root = plist_access_path(top, 2, "$top", "root");
    ASSERT_TRUE(root);
    ASSERT_EQ(plist_get_node_type(root), PLIST_UID);
    uint64_t rootUid = 0;
    plist_get_uid_val(root, &rootUid);
    EXPECT_EQ(rootUid, 1u);

    plist_t objects = plist_dict_get_item(top, "$objects");
    ASSERT_EQ(plist_get_node_type(objects), PLIST_ARRAY);
    EXPECT_EQ(stringAt(plist_array_get_item(objects, 0)), "$null");

    // The root: {NS.objects: [UID...], $class: UID} with an NSMutableArray class entry.
    plist_t rootObject = plist_array_get_item(objects, 1);
    ASSERT_EQ(plist_get_node_type(rootObject), PLIST_DICT);
    plist_t members = plist_dict_get_item(rootObject, "NS.objects");
    ASSERT_EQ(plist_get_node_type(members), PLIST_ARRAY);
    ASSERT_EQ(plist_array_get_size(members), 5u);
    EXPECT_EQ(plist_get_node_type(plist_array_get_item(members, 0)), PLIST_UID);
    plist_t cls = plist_dict_get_item(rootObject, "$class");
    ASSERT_EQ(plist_get_node_type(cls), PLIST_UID);
    uint64_t classUid = 0;
    plist_get_uid_val(cls, &classUid);
    plist_t classEntry = plist_array_get_item(objects, static_cast<uint32_t>(classUid));
    EXPECT_EQ(stringAt(plist_dict_get_item(classEntry, "$classname")), "NSMutableArray");
    plist_t chain = plist_dict_get_item(classEntry, "$classes");
    ASSERT_EQ(plist_array_get_size(chain), 3u);
    EXPECT_EQ(stringAt(plist_array_get_item(chain, 0)), "NSMutableArray");
    EXPECT_EQ(stringAt(plist_array_get_item(chain, 1)), "NSArray");
    EXPECT_EQ(stringAt(plist_array_get_item(chain, 2)), "NSObject");
    EXPECT_GT(classUid, 1u) << "the class entry follows its first user's members";

    // Plain strings, each stored once; class entries stored once.
    int appNames = 0, mutableDictionaryClasses = 0;
    for (uint32_t i = 0; i < plist_array_get_size(objects); ++i) {
        plist_t o = plist_array_get_item(objects, i);
        if (plist_get_node_type(o) == PLIST_STRING && stringAt(o) == "appName") ++appNames;
        if (plist_get_node_type(o) == PLIST_DICT &&
            stringAt(plist_dict_get_item(o, "$classname")) == "NSMutableDictionary") {
            ++mutableDictionaryClasses;
        }
    }
    EXPECT_EQ(appNames, 1);
    EXPECT_EQ(mutableDictionaryClasses, 1);
}

TEST(KeyedArchiver, EveryStorableKindReadsBackEqual) {
    const Value shared = Value::array({"x", Value::integer(1)});
    const Value value = Value::dictionary({
        {"integers",
         Value::array({Value::integer(0), Value::integer(1), Value::integer(-1), Value::integer(255),
                       Value::integer(256), Value::integer(65536), Value::integer(1LL << 40),
                       Value::integer(std::numeric_limits<std::int64_t>::max()),
                       Value::integer(std::numeric_limits<std::int64_t>::min())})},
        {"reals", Value::array({Value::real(0.5), Value::real(-1e300), Value::real(3.0)})},
        {"booleans", Value::array({Value::boolean(true), Value::boolean(false)})},
        {"data", Value::data({0x00, 0xff, 0x10})},
        {"emptyData", Value::data({})},
        {"null", Value::null()},
        {"url", Value(Url{"https://example.com/a?b=c#d"})},
        {"nested",
         Value::array({Value::array({}), Value::dictionary({}), Value::array({Value::array({"deep"})})})},
        {"sharedTwice", Value::array({shared, shared})},
        {"string with \"quotes\"\n", "and a value with \ttabs"},
    });
    const auto decoded = decode(archiveKeyedBinary(value));
    EXPECT_EQ(decoded, value) << show(decoded);
}

TEST(KeyedArchiver, SharedContainerIsStoredOnce) {
    const Value shared = Value::array({"x"});
    const auto archive = parsePlist(archiveKeyedBinary(Value::array({shared, shared})));
    // $null, the outer array, the shared array, "x", the class entry.
    EXPECT_EQ(plist_array_get_size(plist_dict_get_item(archive.get(), "$objects")), 5u);
}

TEST(KeyedArchiver, NullRootWritesANilRoot) {
    const auto bytes = archiveKeyedBinary(Value::null());
    EXPECT_FALSE(decode(bytes));
    const auto archive = parsePlist(bytes);
    uint64_t root = 99;
    plist_get_uid_val(plist_access_path(archive.get(), 2, "$top", "root"), &root);
    EXPECT_EQ(root, 0u);
}

TEST(KeyedArchiver, ScalarRootsReadBackEqual) {
    for (const Value& v : {Value("Editor"), Value::integer(7), Value::boolean(true), Value::array({})}) {
        EXPECT_EQ(decode(archiveKeyedBinary(v)), v) << v.description();
    }
}

TEST(KeyedArchiver, RejectsValuesWithoutAnArchivedForm) {
    EXPECT_THROW(archiveKeyedBinary(Value(AXValue::point({1, 2}))), std::invalid_argument);
    EXPECT_THROW(archiveKeyedBinary(Value(AXElement())), std::invalid_argument);
    EXPECT_THROW(archiveKeyedBinary(Value::array({"ok", Value(AXValue::opaque(kAXValueAXErrorType))})),
                 std::invalid_argument);
    EXPECT_THROW(archiveKeyedBinary(Value::dictionary({{"k", Value(AXValue::rect({0, 0, 1, 1}))}})),
                 std::invalid_argument);
    EXPECT_THROW(archiveKeyedBinary(Value(std::string("a\0b", 3))), std::invalid_argument);
}

// Every vector that decodes, written again by the writer, reads back equal.
TEST(KeyedArchiver, RewritesEveryDecodableVectorEqual) {
    int rewritten = 0;
    for (const auto& dir : {archivesDir() / "winkey", archivesDir() / "real"}) {
        for (const auto& file : std::filesystem::directory_iterator(dir)) {
            if (file.path().filename() == "manifest.json") continue;
            const auto original = decode(readFile(file.path()));
            if (!original) continue;
            const auto again = decode(archiveKeyedBinary(*original));
            EXPECT_EQ(again, original) << file.path().filename() << ": " << show(again);
            ++rewritten;
        }
    }
    EXPECT_EQ(rewritten, 18 + 4);  // 13 tables (null_root aside) + 5 other shapes; 4 real samples
}

}  // namespace
}  // namespace tarvolin
