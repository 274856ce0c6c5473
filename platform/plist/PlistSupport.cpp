#include "platform/plist/PlistSupport.h"

#include <cstdint>

namespace tarvolin {

bool isStorableText(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead == 0) return false;
        if (lead < 0x80) {
            ++i;
            continue;
        }
        // Sequence length and the smallest code point it may carry (no overlong forms).
        size_t length = 0;
        std::uint32_t cp = 0, least = 0;
        if ((lead & 0xE0) == 0xC0)
            length = 2, cp = lead & 0x1Fu, least = 0x80;
        else if ((lead & 0xF0) == 0xE0)
            length = 3, cp = lead & 0x0Fu, least = 0x800;
        else if ((lead & 0xF8) == 0xF0)
            length = 4, cp = lead & 0x07u, least = 0x10000;
        else
            return false;
        if (text.size() - i < length) return false;
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (next & 0x3Fu);
        }
        if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += length;
    }
    return true;
}

std::string_view plistString(plist_t node) {
    std::uint64_t length = 0;
    const char* p = plist_get_string_ptr(node, &length);
    return p ? std::string_view(p, length) : std::string_view();
}

std::optional<Value> plistScalar(plist_t node) {
    if (!node) return std::nullopt;
    switch (plist_get_node_type(node)) {
        case PLIST_STRING: {
            const std::string_view text = plistString(node);
            if (!isStorableText(text)) return std::nullopt;
            return Value(std::string(text));
        }
        case PLIST_UINT: {
            std::uint64_t v = 0;
            plist_get_uint_val(node, &v);
            return Value::integer(static_cast<std::int64_t>(v));
        }
        case PLIST_REAL: {
            double v = 0;
            plist_get_real_val(node, &v);
            return Value::real(v);
        }
        case PLIST_BOOLEAN: {
            std::uint8_t v = 0;
            plist_get_bool_val(node, &v);
            return Value::boolean(v != 0);
        }
        case PLIST_DATA: {
            std::uint64_t length = 0;
            const char* p = plist_get_data_ptr(node, &length);
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(p);
            return Value::data(p ? Value::Data(bytes, bytes + length) : Value::Data());
        }
        default:
            return std::nullopt;
    }
}

}  // namespace tarvolin
