#pragma once

#include "Value.h"

#include <cstdint>
#include <optional>
#include <span>

namespace tarvolin {

// Decodes a keyed archive (the archiver's property-list format) to its root object.
class KeyedUnarchiver {
public:
    virtual ~KeyedUnarchiver() = default;
    // The root object; none when the data is not a well-formed archive or the root is nil.
    virtual std::optional<Value> unarchiveObjectWithData(std::span<const std::uint8_t> data) = 0;
};

}  // namespace tarvolin
