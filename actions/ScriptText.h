#pragma once

#include <string>
#include <string_view>

namespace tarvolin {

// `text` as the script language's string literal, quotes included: a name can
// neither end the literal nor change what the script does.
std::string scriptStringLiteral(std::string_view text);

// Every occurrence of `what` removed, in one pass from the left.
std::string removingOccurrences(std::string_view text, std::string_view what);

}  // namespace tarvolin
