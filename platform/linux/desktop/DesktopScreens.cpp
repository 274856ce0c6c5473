#include "DesktopServices.h"

namespace tarvolin::desktop {

std::vector<Rect> bottomLeftFrames(const std::vector<Monitor>& monitors) {
    if (monitors.empty()) return {};
    const Box p = monitors.front().box;
    std::vector<Rect> out;
    out.reserve(monitors.size());
    for (const Monitor& m : monitors)
        out.push_back(Rect{double(m.box.x - p.x), double((p.y + p.height) - (m.box.y + m.box.height)),
                           double(m.box.width), double(m.box.height)});
    return out;
}

std::vector<Rect> DesktopScreens::screenFrames() {
    if (model_->broken()) return {};
    return bottomLeftFrames(model_->look().monitors);
}

}  // namespace tarvolin::desktop
