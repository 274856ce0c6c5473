#include "DesktopIcons.h"

#include "platform/PixmanGraphics.h"
#include "platform/linux/session/BoundedRead.h"

#include <cairo.h>
#include <librsvg/rsvg.h>
#include <png.h>
#include <sys/inotify.h>

#include <memory>

namespace tarvolin::desktop {

namespace fs = std::filesystem;

namespace {

// Icons larger than this are not worth decoding for a 32-pixel picture.
constexpr std::uint32_t kMaxIconSide = 1024;
// hicolor's fixed sizes, nearest to 32 first; larger before smaller at the same distance.
constexpr int kSizes[] = {32, 48, 24, 64, 22, 16, 96, 128, 256, 512};

// The theme's folders in search order: the fixed sizes, then the scalable one.
std::vector<std::string> themeDirs() {
    std::vector<std::string> dirs;
    for (int size : kSizes) dirs.push_back(std::to_string(size) + "x" + std::to_string(size));
    dirs.emplace_back("scalable");
    return dirs;
}

}  // namespace

DesktopIcons::DesktopIcons() : DesktopIcons(xdgDataDirs()) {}

DesktopIcons::DesktopIcons(std::vector<fs::path> dataDirs)
    : entries_(std::move(dataDirs)), inotify_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    watchDirectories();
}

void DesktopIcons::watchDirectories() {
    if (!inotify_) return;  // no refresh then: each app keeps the icon first found
    // The directories searched see every change of their files; their parents only the
    // arrival of a directory, which brings its own watch here.
    constexpr std::uint32_t kFiles = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE |
                                     IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
    constexpr std::uint32_t kDirectories = IN_CREATE | IN_MOVED_TO | IN_ONLYDIR;
    // Missing directories fail to be watched, harmlessly.
    auto watch = [&](const fs::path& dir, std::uint32_t mask) {
        ::inotify_add_watch(inotify_.get(), dir.c_str(), mask);
    };
    for (const fs::path& data : entries_.dataDirs()) {
        watch(data, kDirectories);
        watch(data / "applications", kFiles);
        watch(data / "pixmaps", kFiles);
        watch(data / "icons", kDirectories);
        watch(data / "icons/hicolor", kDirectories);
        for (const std::string& theme : themeDirs()) {
            watch(data / "icons/hicolor" / theme, kDirectories);
            watch(data / "icons/hicolor" / theme / "apps", kFiles);
        }
    }
}

bool DesktopIcons::directoriesChanged() {
    if (!inotify_) return false;
    // Every watched event is a change; an overflow of the queue is one too.
    alignas(inotify_event) char buffer[4096];
    bool changed = false;
    for (;;) {
        const ssize_t n = ::read(inotify_.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        changed = true;
    }
    return changed;
}

std::optional<Image> decodePng(const std::string& bytes) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) return std::nullopt;
    if (image.width == 0 || image.height == 0 || image.width > kMaxIconSide || image.height > kMaxIconSide) {
        png_image_free(&image);
        return std::nullopt;
    }
    image.format = PNG_FORMAT_BGRA;  // one little-endian 0xAARRGGBB word per pixel
    std::vector<std::uint32_t> pixels(size_t{image.width} * image.height);
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) {
        png_image_free(&image);
        return std::nullopt;
    }
    for (std::uint32_t& p : pixels) {
        const std::uint32_t a = p >> 24;
        auto channel = [&](int shift) { return ((((p >> shift) & 0xffu) * a + 127) / 255) << shift; };
        p = (a << 24) | channel(16) | channel(8) | channel(0);
    }
    const int w = static_cast<int>(image.width), h = static_cast<int>(image.height);
    return Image(Size{double(w), double(h)}, w, h, std::move(pixels));
}

std::optional<Image> decodeSvg(const std::string& bytes) {
    constexpr int side = DesktopIcons::kSide;
    GError* error = nullptr;
    std::unique_ptr<RsvgHandle, decltype(&g_object_unref)> svg(
        rsvg_handle_new_from_data(reinterpret_cast<const guint8*>(bytes.data()), bytes.size(), &error),
        g_object_unref);
    g_clear_error(&error);
    if (!svg) return std::nullopt;
    // Cairo's ARGB32 is the image's premultiplied 0xAARRGGBB; a row of 32 of them needs no padding.
    std::vector<std::uint32_t> pixels(side * side);
    std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)> surface(
        cairo_image_surface_create_for_data(reinterpret_cast<unsigned char*>(pixels.data()),
                                            CAIRO_FORMAT_ARGB32, side, side, side * 4),
        cairo_surface_destroy);
    std::unique_ptr<cairo_t, decltype(&cairo_destroy)> cr(cairo_create(surface.get()), cairo_destroy);
    const RsvgRectangle viewport{0, 0, side, side};
    const bool drawn = rsvg_handle_render_document(svg.get(), cr.get(), &viewport, &error);
    g_clear_error(&error);
    cairo_surface_flush(surface.get());
    if (!drawn || cairo_status(cr.get()) != CAIRO_STATUS_SUCCESS) return std::nullopt;
    return Image(Size{side, side}, side, side, std::move(pixels));
}

std::optional<std::string> DesktopIcons::iconName(const std::string& app) {
    const auto entry = entries_.entryFor(app);
    return entry ? desktopEntryValue(*entry, "Icon") : std::nullopt;
}

std::optional<Image> DesktopIcons::iconPicture(const std::string& name) const {
    std::vector<fs::path> candidates;
    if (name.starts_with('/')) {
        candidates.emplace_back(name);
    } else if (name.find('/') == std::string::npos) {
        // A PNG before an SVG in the same place.
        for (const std::string& theme : themeDirs())
            for (const fs::path& data : entries_.dataDirs())
                for (const char* type : {".png", ".svg"})
                    candidates.push_back(data / "icons/hicolor" / theme / "apps" / (name + type));
        for (const fs::path& data : entries_.dataDirs())
            for (const char* type : {".png", ".svg"}) candidates.push_back(data / "pixmaps" / (name + type));
    }
    for (const fs::path& p : candidates) {
        BoundedFile file = readBoundedFile(AT_FDCWD, p.c_str(), kMaxImageSize);
        if (file.regular && !file.tooLarge)
            return p.extension() == ".svg" ? decodeSvg(file.bytes) : decodePng(file.bytes);
    }
    return std::nullopt;
}

Image DesktopIcons::iconFor(const std::optional<std::string>& app) {
    if (!blank_)
        blank_ = Image(Size{kSide, kSide}, kSide, kSide, std::vector<std::uint32_t>(kSide * kSide, 0));
    if (!app) return blank_;
    if (directoriesChanged()) {
        cache_.clear();
        entries_.reload();
        watchDirectories();
    }
    if (auto it = cache_.find(*app); it != cache_.end()) return it->second;
    Image icon = blank_;
    if (auto name = iconName(*app))
        if (auto picture = iconPicture(*name)) {
            PixmanGraphics graphics;
            icon = graphics.drawImage(Size{kSide, kSide}, Rect{0, 0, kSide, kSide}, *picture,
                                      Rect{0, 0, picture->size().width, picture->size().height},
                                      CompositingOperation::copy, 1.0);
        }
    cache_[*app] = icon;
    return icon;
}

}  // namespace tarvolin::desktop
