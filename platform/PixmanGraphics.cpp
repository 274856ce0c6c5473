#include "PixmanGraphics.h"

#include <pixman.h>

#include <cmath>
#include <memory>

namespace tarvolin {

namespace {

constexpr int kMaxCanvas = 4096;

int pixelsFor(double points) {
    if (!std::isfinite(points) || points <= 0) return 0;
    return points >= kMaxCanvas ? kMaxCanvas : static_cast<int>(std::lround(points));
}

int clampedInt(double v) {
    if (!(v > -kMaxCanvas)) return -kMaxCanvas;
    return v < 2 * kMaxCanvas ? static_cast<int>(v) : 2 * kMaxCanvas;
}

bool usableRect(const Rect& r) {
    return std::isfinite(r.x) && std::isfinite(r.y) && std::isfinite(r.width) && std::isfinite(r.height) &&
           r.width > 0 && r.height > 0;
}

struct PixmanImageDeleter {
    void operator()(pixman_image_t* p) const { pixman_image_unref(p); }
};
using PixmanImage = std::unique_ptr<pixman_image_t, PixmanImageDeleter>;

pixman_op_t pixmanOp(CompositingOperation op) {
    switch (op) {
        case CompositingOperation::clear:
            return PIXMAN_OP_CLEAR;
        case CompositingOperation::copy:
            return PIXMAN_OP_SRC;
        case CompositingOperation::sourceOver:
            return PIXMAN_OP_OVER;
    }
    return PIXMAN_OP_SRC;
}

}  // namespace

Image PixmanGraphics::drawImage(Size canvas, Rect destination, const Image& image, Rect source,
                                CompositingOperation operation, double fraction) {
    const int width = pixelsFor(canvas.width);
    const int height = pixelsFor(canvas.height);
    std::vector<std::uint32_t> out(static_cast<size_t>(width) * static_cast<size_t>(height), 0);
    if (width == 0 || height == 0 || !image || image.pixelWidth() == 0 || image.pixelHeight() == 0 ||
        !usableRect(destination) || !usableRect(source))
        return Image(canvas, width, height, std::move(out));

    // Source rectangle in pixels; rectangles have their origin at the bottom-left.
    const double sx = image.size().width > 0 ? image.pixelWidth() / image.size().width : 1.0;
    const double sy = image.size().height > 0 ? image.pixelHeight() / image.size().height : 1.0;
    const double srcX = source.x * sx;
    const double srcW = source.width * sx;
    const double srcH = source.height * sy;
    const double srcTop = image.pixelHeight() - (source.y * sy + srcH);
    const double dstTop = height - (destination.y + destination.height);

    std::vector<std::uint32_t> srcPixels = image.pixels();  // pixman wants a mutable buffer
    PixmanImage src(pixman_image_create_bits(PIXMAN_a8r8g8b8, image.pixelWidth(), image.pixelHeight(),
                                             srcPixels.data(), image.pixelWidth() * 4));
    PixmanImage dst(pixman_image_create_bits(PIXMAN_a8r8g8b8, width, height, out.data(), width * 4));
    if (!src || !dst) return Image(canvas, width, height, std::vector<std::uint32_t>(out.size(), 0));

    const double scaleX = srcW / destination.width;
    const double scaleY = srcH / destination.height;
    pixman_transform_t t;
    pixman_transform_init_identity(&t);
    t.matrix[0][0] = pixman_double_to_fixed(scaleX);
    t.matrix[0][2] = pixman_double_to_fixed(srcX - destination.x * scaleX);
    t.matrix[1][1] = pixman_double_to_fixed(scaleY);
    t.matrix[1][2] = pixman_double_to_fixed(srcTop - dstTop * scaleY);
    pixman_image_set_transform(src.get(), &t);
    pixman_image_set_filter(src.get(), PIXMAN_FILTER_BILINEAR, nullptr, 0);
    pixman_image_set_repeat(src.get(), PIXMAN_REPEAT_PAD);

    PixmanImage mask;
    if (!(fraction >= 1.0)) {
        const double f = std::isfinite(fraction) && fraction > 0 ? fraction : 0.0;
        pixman_color_t c{0, 0, 0, static_cast<std::uint16_t>(std::lround(f * 0xffff))};
        mask.reset(pixman_image_create_solid_fill(&c));
    }

    const int dx = clampedInt(std::floor(destination.x));
    const int dy = clampedInt(std::floor(dstTop));
    const int dw = clampedInt(std::ceil(destination.x + destination.width)) - dx;
    const int dh = clampedInt(std::ceil(dstTop + destination.height)) - dy;
    pixman_image_composite32(pixmanOp(operation), src.get(), mask.get(), dst.get(), dx, dy, 0, 0, dx, dy, dw,
                             dh);
    dst.reset();  // release pixman's view before the buffer moves
    return Image(canvas, width, height, std::move(out));
}

}  // namespace tarvolin
