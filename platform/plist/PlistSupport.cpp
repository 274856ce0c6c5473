#include "platform/plist/PlistSupport.h"

#include <cstdint>

namespace tarvolin {

std::string_view plistString(plist_t node) {
    std::uint64_t length = 0;
    const char* p = plist_get_string_ptr(node, &length);
    return p ? std::string_view(p, length) : std::string_view();
}

std::optional<Value> plistScalar(plist_t node) {
    if (!node) return std::nullopt;
    switch (plist_get_node_type(node)) {
        case PLIST_STRING:
            return Value(std::string(plistString(node)));
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
