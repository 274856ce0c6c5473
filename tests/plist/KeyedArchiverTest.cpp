// The writer: what it writes reads back equal, and libplist sees NSKeyedArchiver's layout in it.
#include "KeyedArchiveTestSupport.h"

#include <limits>

namespace tarvolin {
namespace {

using namespace plisttest;

TEST(KeyedArchiver, EveryStorableKindReadsBackEqual) {
    const Value value = Value::dictionary({
        {"table",
         Value::array({Value::dictionary({{"appName", "Editor"}, {"key", Value::array({"a", "b"})}}),
                       // 日本語: 鍵, 🔑 (written as UTF-16, the key as a surrogate pair)
                       Value::dictionary({{"appName", "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e"},
                                          {"key", Value::array({"\xe9\x8d\xb5", "\xf0\x9f\x94\x91"})}}),
                       Value::dictionary({{"appName", ""}, {"key", Value::array({})}})})},
        {"integers", Value::array({Value::integer(0), Value::integer(-1),
                                   Value::integer(std::numeric_limits<std::int64_t>::max()),
                                   Value::integer(std::numeric_limits<std::int64_t>::min())})},
        {"reals", Value::array({Value::real(0.5), Value::real(-1e300), Value::real(3.0)})},
        {"booleans", Value::array({Value::boolean(true), Value::boolean(false)})},
        {"data", Value::array({Value::data({0x00, 0xff, 0x10}), Value::data({})})},
        {"null", Value::null()},
        {"url", Value(Url{"https://example.com/a?b=c#d"})},
        {"string with \"quotes\"\n", "and a value with \ttabs"},
    });
    const auto bytes = archiveKeyedBinary(value);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 8), "bplist00");
    EXPECT_EQ(decode(bytes), value);
}

// A container takes its index before its members and its class entry comes after them; a shared
// container, a string and a class entry are each stored once.
TEST(KeyedArchiver, LayoutIsNSKeyedArchivers) {
    const Value shared = Value::array({"x"});
    const auto archive =
        parsePlist(archiveKeyedBinary(Value::array({shared, shared, Value::dictionary({{"x", "x"}})})));
    plist_t top = archive.get();
    // $null, the outer array, the shared array, "x", the array class, the dictionary, its class.
    plist_t objects = plist_dict_get_item(top, "$objects");
    ASSERT_EQ(plist_array_get_size(objects), 7u);
    EXPECT_EQ(plistString(plist_array_get_item(objects, 0)), "$null");
    EXPECT_EQ(plist_uid_val_compare(plist_access_path(objects, 3, 1, "NS.objects", 2), 5), 0);
    EXPECT_EQ(plist_uid_val_compare(plist_access_path(objects, 2, 1, "$class"), 4), 0);
    EXPECT_EQ(plist_uid_val_compare(plist_access_path(objects, 3, 5, "NS.keys", 0), 3), 0);
    EXPECT_EQ(plist_uid_val_compare(plist_access_path(objects, 3, 5, "NS.objects", 0), 3), 0);
    for (auto [at, name, superclass] :
         {std::tuple{4u, "NSMutableArray", "NSArray"}, {6u, "NSMutableDictionary", "NSDictionary"}}) {
        EXPECT_EQ(plistString(plist_access_path(objects, 2, at, "$classname")), name);
        EXPECT_EQ(plistString(plist_access_path(objects, 3, at, "$classes", 1)), superclass);
        EXPECT_EQ(plistString(plist_access_path(objects, 3, at, "$classes", 2)), "NSObject");
    }
    const auto nilRoot = parsePlist(archiveKeyedBinary(Value::null()));
    EXPECT_EQ(plist_uid_val_compare(plist_access_path(nilRoot.get(), 2, "$top", "root"), 0), 0);
}

TEST(KeyedArchiver, RejectsValuesWithoutAnArchivedForm) {
    for (const Value& v :
         {Value(AXValue::point({1, 2})), Value(AXElement()),
          Value::array({"ok", Value(AXValue::opaque(kAXValueAXErrorType))}),
          Value::dictionary({{"k", Value(AXValue::rect({0, 0, 1, 1}))}}), Value(std::string("a\0b", 3))})
        EXPECT_THROW(archiveKeyedBinary(v), std::invalid_argument) << v.description();
}

}  // namespace
}  // namespace tarvolin
