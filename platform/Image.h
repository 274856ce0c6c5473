#pragma once

#include "Geometry.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace tarvolin {

// An immutable bitmap with a size in points. Pixels are premultiplied ARGB,
// row by row from the top. Copies share the bitmap; `sameObject` tells whether
// two images are the very same one.
class Image {
public:
    Image() = default;
    Image(Size points, int pixelWidth, int pixelHeight, std::vector<std::uint32_t> pixels);

    explicit operator bool() const { return data_ != nullptr; }
    Size size() const { return data_ ? data_->points : Size{}; }
    int pixelWidth() const { return data_ ? data_->width : 0; }
    int pixelHeight() const { return data_ ? data_->height : 0; }
    const std::vector<std::uint32_t>& pixels() const;
    std::uint32_t pixel(int x, int y) const { return pixels()[static_cast<size_t>(y * pixelWidth() + x)]; }
    bool sameObject(const Image& other) const { return data_ == other.data_; }

private:
    struct Data {
        Size points;
        int width;
        int height;
        std::vector<std::uint32_t> pixels;
    };
    std::shared_ptr<const Data> data_;
};

enum class CompositingOperation : int { clear = 0, copy = 1, sourceOver = 2 };

// Drawing into a new image, as lockFocus / drawInRect / unlockFocus would.
class Graphics {
public:
    virtual ~Graphics() = default;
    // A new transparent image of `canvas` points (one pixel per point) with the
    // `source` rectangle of `image` (in the image's points) drawn into `destination`.
    virtual Image drawImage(Size canvas, Rect destination, const Image& image, Rect source,
                            CompositingOperation operation, double fraction) = 0;
};

}  // namespace tarvolin
