#pragma once

#include "platform/KeyedUnarchiver.h"

namespace tarvolin {

// Reads a keyed archive (binary or XML property list written by NSKeyedArchiver) with libplist.
//
// Decodes NSArray/NSMutableArray to arrays, NSDictionary/NSMutableDictionary (string keys) to
// dictionaries, plain strings and NSString/NSMutableString objects to strings, integers, reals,
// booleans, data and NSData/NSMutableData to their values, an NSURL without a base to a Url, and an
// NSAttributedString/NSMutableAttributedString to its plain text. A $null member is Value::null().
//
// Gives none for a nil root and for anything malformed: not a property list, wrong $archiver or
// $version, missing $top or $objects, a root that is not a UID, a UID out of range, a reference
// cycle, nesting deeper than kMaxDepth, a container without a class, a class without $classname,
// NS.keys/NS.objects of different lengths, a non-string dictionary key, a string that is
// not storable text (isStorableText: the writer could not give it back), or a class it does not know
// (anywhere in the graph). Shared references (a DAG) are fine and are decoded once.
class LibplistKeyedUnarchiver final : public KeyedUnarchiver {
public:
    static constexpr int kMaxDepth = 256;

    std::optional<Value> unarchiveObjectWithData(std::span<const std::uint8_t> data) override;
};

}  // namespace tarvolin
