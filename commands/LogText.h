#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tarvolin {

// Text from a sender, made safe for one log line: control characters and
// backslashes escaped, and cut to a bounded length.
std::string loggableText(std::string_view text);

// A list of texts in the list's textual form, each item quoted and escaped,
// with bounded items and a bounded count.
std::string loggableList(const std::vector<std::string>& texts);

}  // namespace tarvolin
