#include "commands/LogText.h"

#include "platform/Value.h"

#include <cstdio>

namespace tarvolin {

namespace {

constexpr size_t kMaxLoggedBytes = 1024;
constexpr size_t kMaxLoggedItems = 4;

// At most kMaxLoggedBytes, cut at a character boundary, with a note of what was left out.
std::string bounded(std::string_view text, std::string& note) {
    if (text.size() <= kMaxLoggedBytes) return std::string(text);
    size_t cut = kMaxLoggedBytes;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    note = "...(" + std::to_string(text.size()) + " bytes)";
    return std::string(text.substr(0, cut));
}

}  // namespace

std::string loggableText(std::string_view text) {
    std::string note;
    const std::string kept = bounded(text, note);
    std::string quoted = quotedText(kept);
    return quoted.substr(1, quoted.size() - 2) + note;
}

std::string loggableList(const std::vector<std::string>& texts) {
    Value::Array items;
    for (size_t i = 0; i < texts.size() && i < kMaxLoggedItems; ++i) {
        std::string note;
        items.emplace_back(bounded(texts[i], note) + note);
    }
    std::string out = Value::array(std::move(items)).description();
    if (texts.size() > kMaxLoggedItems)
        out += " and " + std::to_string(texts.size() - kMaxLoggedItems) + " more";
    return out;
}

}  // namespace tarvolin
