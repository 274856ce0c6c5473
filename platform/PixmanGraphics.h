#pragma once

#include "Image.h"

namespace tarvolin {

// Image drawing over pixman; one point is one pixel.
class PixmanGraphics final : public Graphics {
public:
    Image drawImage(Size canvas, Rect destination, const Image& image, Rect source,
                    CompositingOperation operation, double fraction) override;
};

}  // namespace tarvolin
