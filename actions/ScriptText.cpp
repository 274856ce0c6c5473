#include "actions/ScriptText.h"

namespace tarvolin {

std::string scriptStringLiteral(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    out += '"';
    return out;
}

std::string removingOccurrences(std::string_view text, std::string_view what) {
    if (what.empty()) return std::string(text);
    std::string out;
    size_t from = 0;
    for (size_t at; (at = text.find(what, from)) != std::string_view::npos; from = at + what.size())
        out.append(text.substr(from, at - from));
    out.append(text.substr(from));
    return out;
}

}  // namespace tarvolin
