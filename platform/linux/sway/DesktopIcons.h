#pragma once

#include "platform/Image.h"

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tarvolin::sway {

// Application icons as a Wayland desktop finds them: the desktop entry named after the
// app id, its Icon= key, the hicolor theme's PNG of the nearest size, drawn to 32 x 32.
class DesktopIcons {
public:
    static constexpr int kSide = 32;

    // The XDG data directories ($XDG_DATA_HOME, then $XDG_DATA_DIRS).
    DesktopIcons();
    explicit DesktopIcons(std::vector<std::filesystem::path> dataDirs) : dataDirs_(std::move(dataDirs)) {}

    // Always a 32 x 32 image: a blank one when the app has no icon to be found.
    Image iconFor(const std::optional<std::string>& app);

private:
    std::optional<std::string> iconName(const std::string& app) const;
    std::optional<std::filesystem::path> iconFile(const std::string& name) const;

    std::vector<std::filesystem::path> dataDirs_;
    std::map<std::string, Image> cache_;
    Image blank_;
};

// The Icon= value of a desktop entry's [Desktop Entry] group.
std::optional<std::string> desktopEntryIcon(const std::string& entryText);
// A PNG file as a premultiplied ARGB image; none when it cannot be read.
std::optional<Image> readPng(const std::filesystem::path& file);

}  // namespace tarvolin::sway
