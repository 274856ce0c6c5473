#include "commands/CommandParsing.h"

#include "platform/NumberConversion.h"

#include <nlohmann/json.hpp>

#include <cctype>
#include <limits>

namespace tarvolin {

namespace {

std::optional<std::int64_t> winIdFrom(const nlohmann::json& v) {
    if (v.is_number_integer()) {
        if (v.is_number_unsigned()) {
            auto u = v.get<std::uint64_t>();
            return u <= static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())
                       ? std::optional<std::int64_t>(static_cast<std::int64_t>(u))
                       : std::nullopt;
        }
        auto i = v.get<std::int64_t>();
        if (i < std::numeric_limits<std::int32_t>::min() || i > std::numeric_limits<std::int32_t>::max())
            return std::nullopt;
        return i;
    }
    if (v.is_number_float()) {
        auto i = int32IfInRange(v.get<double>());
        return i ? std::optional<std::int64_t>(*i) : std::nullopt;
    }
    // A string: the number at its start.
    auto i = leadingInteger(v.get_ref<const std::string&>());
    if (!i || *i < std::numeric_limits<std::int32_t>::min() || *i > std::numeric_limits<std::int32_t>::max())
        return std::nullopt;
    return i;
}

}  // namespace

std::optional<PasteboardCommand> parsePasteboardCommand(std::string_view utf8) {
    auto json = nlohmann::json::parse(utf8.begin(), utf8.end(), nullptr, false);
    if (json.is_discarded() || !(json.is_object() || json.is_array())) return std::nullopt;

    PasteboardCommand c;
    if (!json.is_object()) {
        c.wellFormed = false;
        return c;
    }
    if (auto it = json.find("cmd"); it != json.end()) {
        if (it->is_string())
            c.cmd = it->get<std::string>();
        else
            c.wellFormed = false;
    }
    bool winIdUsable = true;
    if (auto it = json.find("winID"); it != json.end()) {
        if (it->is_number() || it->is_string()) {
            c.winId = winIdFrom(*it);
            if (it->is_string()) c.winIdText = it->get<std::string>();
        } else {
            winIdUsable = false;
        }
    }
    if (c.cmd == "raise" || c.cmd == "close" || c.cmd == "quit") c.wellFormed = c.wellFormed && winIdUsable;
    if (auto it = json.find("activate"); it != json.end() && it->is_string())
        c.activate = it->get<std::string>();
    return c;
}

std::optional<std::int64_t> leadingInteger(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    // Accumulate as a negative number so that the most negative value fits.
    std::int64_t value = 0;
    constexpr auto min = std::numeric_limits<std::int64_t>::min();
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        const int digit = text[i] - '0';
        if (value < (min + digit) / 10) return std::nullopt;
        value = value * 10 - digit;
    }
    if (negative) return value;
    if (value == min) return std::nullopt;
    return -value;
}

std::vector<std::string> splitText(std::string_view text, char separator) {
    std::vector<std::string> pieces;
    size_t from = 0;
    for (size_t at; (at = text.find(separator, from)) != std::string_view::npos; from = at + 1)
        pieces.emplace_back(text.substr(from, at - from));
    pieces.emplace_back(text.substr(from));
    return pieces;
}

QuitTarget parseQuitTarget(std::string_view text) {
    auto pieces = splitText(text, '|');
    return {pieces.front(), pieces.back()};
}

DefaultsCommand parseSomeText(std::string_view text) {
    auto pieces = splitText(text, ':');
    return {pieces.front(), pieces.back()};
}

}  // namespace tarvolin
