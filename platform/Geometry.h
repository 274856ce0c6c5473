#pragma once

#include <cstdint>

namespace tarvolin {

struct Point {
    double x = 0;
    double y = 0;
    friend bool operator==(const Point&, const Point&) = default;
};

struct Size {
    double width = 0;
    double height = 0;
    friend bool operator==(const Size&, const Size&) = default;
};

struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
    friend bool operator==(const Rect&, const Rect&) = default;
};

struct Range {
    std::int64_t location = 0;
    std::int64_t length = 0;
    friend bool operator==(const Range&, const Range&) = default;
};

// Smallest edge inclusive, largest edge exclusive, as the platform tests it.
inline bool pointInRect(Point p, const Rect& r) {
    return p.x >= r.x && p.x < r.x + r.width && p.y >= r.y && p.y < r.y + r.height;
}

}  // namespace tarvolin
