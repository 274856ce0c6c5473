#include "DesktopIcons.h"

#include "platform/PixmanGraphics.h"

#include <png.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace tarvolin::sway {

namespace fs = std::filesystem;

namespace {

// Icons larger than this are not worth decoding for a 32-pixel picture.
constexpr std::uint32_t kMaxIconSide = 1024;

std::vector<fs::path> xdgDataDirs() {
    std::vector<fs::path> dirs;
    if (const char* home = std::getenv("XDG_DATA_HOME"); home && *home)
        dirs.emplace_back(home);
    else if (const char* h = std::getenv("HOME"); h && *h)
        dirs.push_back(fs::path(h) / ".local/share");
    const char* list = std::getenv("XDG_DATA_DIRS");
    std::stringstream in(list && *list ? list : "/usr/local/share:/usr/share");
    for (std::string dir; std::getline(in, dir, ':');)
        if (!dir.empty()) dirs.emplace_back(dir);
    return dirs;
}

std::string trim(std::string s) {
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string::npos) return {};
    return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

bool regularFile(const fs::path& p) {
    std::error_code ec;
    return fs::is_regular_file(p, ec);
}

}  // namespace

DesktopIcons::DesktopIcons() : dataDirs_(xdgDataDirs()) {}

std::optional<std::string> desktopEntryIcon(const std::string& entryText) {
    std::istringstream in(entryText);
    bool inEntry = false;
    for (std::string line; std::getline(in, line);) {
        line = trim(line);
        if (line.starts_with('[')) {
            inEntry = line == "[Desktop Entry]";
            continue;
        }
        if (!inEntry || !line.starts_with("Icon")) continue;
        const auto eq = line.find('=');
        if (eq == std::string::npos || trim(line.substr(0, eq)) != "Icon") continue;
        auto value = trim(line.substr(eq + 1));
        if (!value.empty()) return value;
    }
    return std::nullopt;
}

std::optional<Image> readPng(const fs::path& file) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, file.c_str())) return std::nullopt;
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

std::optional<std::string> DesktopIcons::iconName(const std::string& app) const {
    for (const std::string& id : {app, [&] {
                                      std::string lower = app;
                                      for (char& c : lower) c = static_cast<char>(std::tolower(c));
                                      return lower;
                                  }()}) {
        // An app id is a name, never a path.
        if (id.empty() || id.find('/') != std::string::npos) return std::nullopt;
        for (const fs::path& dir : dataDirs_) {
            std::ifstream in(dir / "applications" / (id + ".desktop"));
            if (!in) continue;
            std::stringstream text;
            text << in.rdbuf();
            return desktopEntryIcon(text.str());
        }
    }
    return std::nullopt;
}

std::optional<fs::path> DesktopIcons::iconFile(const std::string& name) const {
    if (name.starts_with('/')) return regularFile(name) ? std::optional<fs::path>(name) : std::nullopt;
    if (name.find('/') != std::string::npos) return std::nullopt;
    // hicolor's fixed sizes, nearest to 32 first; larger before smaller at the same distance.
    static const int kSizes[] = {32, 48, 24, 64, 22, 16, 96, 128, 256, 512};
    for (int size : kSizes) {
        const std::string dir = std::to_string(size) + "x" + std::to_string(size);
        for (const fs::path& data : dataDirs_)
            if (auto p = data / "icons/hicolor" / dir / "apps" / (name + ".png"); regularFile(p)) return p;
    }
    for (const fs::path& data : dataDirs_)
        if (auto p = data / "pixmaps" / (name + ".png"); regularFile(p)) return p;
    return std::nullopt;
}

Image DesktopIcons::iconFor(const std::optional<std::string>& app) {
    if (!blank_)
        blank_ = Image(Size{kSide, kSide}, kSide, kSide, std::vector<std::uint32_t>(kSide * kSide, 0));
    if (!app) return blank_;
    if (auto it = cache_.find(*app); it != cache_.end()) return it->second;
    Image icon = blank_;
    if (auto name = iconName(*app))
        if (auto file = iconFile(*name))
            if (auto picture = readPng(*file)) {
                PixmanGraphics graphics;
                icon = graphics.drawImage(Size{kSide, kSide}, Rect{0, 0, kSide, kSide}, *picture,
                                          Rect{0, 0, picture->size().width, picture->size().height},
                                          CompositingOperation::copy, 1.0);
            }
    cache_[*app] = icon;
    return icon;
}

}  // namespace tarvolin::sway
