#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace tarvolin {

// A number as the window service reports it: integral or real.
using WindowNumberValue = std::variant<std::int64_t, double>;

struct WindowBounds {
    std::optional<WindowNumberValue> x, y, width, height;
};

// One window as the window service describes it; every entry may be missing.
struct WindowDescription {
    std::optional<WindowNumberValue> layer;
    std::optional<WindowNumberValue> ownerPid;
    std::optional<WindowNumberValue> number;
    std::optional<std::string> name;
    std::optional<WindowNumberValue> alpha;
    std::optional<WindowBounds> bounds;
};

inline constexpr std::uint32_t kCGWindowListExcludeDesktopElements = 16;
inline constexpr std::uint32_t kCGNullWindowID = 0;

class WindowService {
public:
    virtual ~WindowService() = default;
    // The windows, front first; none when the service cannot answer.
    virtual std::optional<std::vector<WindowDescription>> copyWindowInfo(std::uint32_t option,
                                                                         std::uint32_t relativeToWindow) = 0;
};

}  // namespace tarvolin
