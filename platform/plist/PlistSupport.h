#pragma once

#include "platform/Value.h"

#include <plist/plist.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

namespace tarvolin {

struct PlistFree {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
// Owns a property-list node and everything below it.
using PlistPtr = std::unique_ptr<void, PlistFree>;

// libplist 2.3 (Debian 13) gave plist_from_memory an out-parameter for the format it read and
// frees what it writes with plist_mem_free; 2.2 (Debian 12) has neither.
inline plist_t plistFromMemory(const char* bytes, std::uint32_t size) {
    plist_t node = nullptr;
#if TARVOLIN_LIBPLIST_2_3
    plist_from_memory(bytes, size, &node, nullptr);
#else
    plist_from_memory(bytes, size, &node);
#endif
    return node;
}
// Frees text or bytes libplist wrote (plist_to_xml, plist_to_bin).
inline void plistMemFree(char* written) {
#if TARVOLIN_LIBPLIST_2_3
    plist_mem_free(written);
#else
    plist_to_bin_free(written);
#endif
}

// True for text that a property list stores and gives back unchanged: valid UTF-8
// without NUL (libplist takes C strings; binary lists hold UTF-16). Readers hand out
// no other text, so anything read can be written back.
bool isStorableText(std::string_view text);

// The text of a string node, borrowed from the node.
std::string_view plistString(plist_t node);

// A string (storable text only), integer, real, boolean or data node as a Value; none for any other node.
std::optional<Value> plistScalar(plist_t node);

}  // namespace tarvolin
