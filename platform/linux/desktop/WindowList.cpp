#include "DesktopServices.h"

namespace tarvolin::desktop {

namespace {

// kCGDesktopWindowLevel: where desktop windows sit when a caller asks for them.
constexpr std::int64_t kDesktopLayer = -2147483623;

}  // namespace

std::optional<std::vector<WindowDescription>> WindowList::copyWindowInfo(std::uint32_t option,
                                                                         std::uint32_t /*relativeToWindow*/) {
    if (model_->broken()) return std::nullopt;
    const Snapshot& s = model_->look();
    if (model_->broken()) return std::nullopt;
    const Box origin = s.origin();
    std::vector<WindowDescription> out;
    out.reserve(s.frontFirst.size());
    for (const Window& w : s.frontFirst) {
        if (!w.layer && (option & kCGWindowListExcludeDesktopElements)) continue;
        WindowDescription d;
        d.layer = w.layer.value_or(kDesktopLayer);
        if (w.pid) d.ownerPid = std::int64_t{*w.pid};
        d.number = w.id;
        d.name = w.title;
        d.alpha = w.alpha;
        if (w.frame)
            d.bounds =
                WindowBounds{w.frame->x - origin.x, w.frame->y - origin.y, w.frame->width, w.frame->height};
        out.push_back(std::move(d));
    }
    return out;
}

}  // namespace tarvolin::desktop
