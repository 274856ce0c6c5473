#include "Image.h"

#include <stdexcept>

namespace tarvolin {

Image::Image(Size points, int pixelWidth, int pixelHeight, std::vector<std::uint32_t> pixels) {
    if (pixelWidth < 0 || pixelHeight < 0 ||
        pixels.size() != static_cast<size_t>(pixelWidth) * static_cast<size_t>(pixelHeight))
        throw std::invalid_argument("image pixel count does not match its dimensions");
    data_ = std::make_shared<const Data>(Data{points, pixelWidth, pixelHeight, std::move(pixels)});
}

const std::vector<std::uint32_t>& Image::pixels() const {
    static const std::vector<std::uint32_t> none;
    return data_ ? data_->pixels : none;
}

}  // namespace tarvolin
