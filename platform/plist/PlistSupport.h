#pragma once

#include "platform/Value.h"

#include <plist/plist.h>

#include <memory>
#include <optional>
#include <string_view>

namespace tarvolin {

struct PlistFree {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
// Owns a property-list node and everything below it.
using PlistPtr = std::unique_ptr<void, PlistFree>;

// True for text that a property list stores and gives back unchanged: valid UTF-8
// without NUL (libplist takes C strings; binary lists hold UTF-16). Readers hand out
// no other text, so anything read can be written back.
bool isStorableText(std::string_view text);

// The text of a string node, borrowed from the node.
std::string_view plistString(plist_t node);

// A string (storable text only), integer, real, boolean or data node as a Value; none for any other node.
std::optional<Value> plistScalar(plist_t node);

}  // namespace tarvolin
