#pragma once

#include "platform/Accessibility.h"

#include <optional>

namespace tarvolin {

// The element's children, or none when the count or the copy fails.
std::optional<Value::Array> childrenOfUIElement(const AXElement& element);

}  // namespace tarvolin
