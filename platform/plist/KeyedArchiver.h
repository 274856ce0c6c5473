#pragma once

#include "platform/Value.h"

#include <cstdint>
#include <vector>

namespace tarvolin {

// Writes `root` as a binary keyed archive, laid out as NSKeyedArchiver lays it out: $objects[0] is
// "$null", strings are plain plist strings (equal strings stored once), arrays and dictionaries are
// NSMutableArray / NSMutableDictionary objects that take their index before their members, class
// entries ({$classname, $classes}) are written once each, after the members of their first user.
// Numbers, booleans and data are stored directly, a Url as an NSURL without a base, a null member as
// the $null reference and a null root as a nil root. Containers shared between several places are
// stored once. Throws std::invalid_argument for elements and geometry values, which have no archived
// form, and for strings that are not valid UTF-8 or hold NUL (isStorableText).
std::vector<std::uint8_t> archiveKeyedBinary(const Value& root);

}  // namespace tarvolin
