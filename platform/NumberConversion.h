#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <variant>

namespace tarvolin {

// Truncation toward zero with a defined result everywhere: NaN reads as 0, and
// values beyond the signed 64-bit range (infinities included) saturate.
inline std::int64_t truncatedInt64(double d) {
    if (std::isnan(d)) return 0;
    if (d >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
    if (d < -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(d);
}

inline std::int64_t truncatedInt64(const std::variant<std::int64_t, double>& v) {
    if (const auto* i = std::get_if<std::int64_t>(&v)) return *i;
    return truncatedInt64(std::get<double>(v));
}

// The integer part when it lies within the signed 32-bit range; none otherwise.
inline std::optional<std::int32_t> int32IfInRange(double d) {
    if (!(d > -2147483649.0 && d < 2147483648.0)) return std::nullopt;  // NaN fails too
    return static_cast<std::int32_t>(d);
}

// The low 32 bits, as platform calls that take a 32-bit value see them.
inline std::int32_t low32(std::int64_t v) { return static_cast<std::int32_t>(static_cast<std::uint32_t>(v)); }

}  // namespace tarvolin
