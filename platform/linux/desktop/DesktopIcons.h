#pragma once

#include "platform/Image.h"
#include "platform/linux/session/UniqueFd.h"

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tarvolin::desktop {

// Application icons as a Linux desktop finds them: the desktop entry named after the app id
// (or else the one whose StartupWMClass= is that name), its Icon= key, the hicolor theme's
// PNG of the nearest size or its SVG, drawn to 32 x 32.
// Looked up once per app, again after the application or icon directories change.
class DesktopIcons {
public:
    static constexpr int kSide = 32;
    // Larger files are refused unread.
    static constexpr std::size_t kMaxEntrySize = 64u << 10;
    static constexpr std::size_t kMaxImageSize = 4u << 20;

    // The XDG data directories ($XDG_DATA_HOME, then $XDG_DATA_DIRS).
    DesktopIcons();
    explicit DesktopIcons(std::vector<std::filesystem::path> dataDirs);

    // Always a 32 x 32 image: a blank one when the app has no icon to be found.
    Image iconFor(const std::optional<std::string>& app);

private:
    std::optional<std::string> iconName(const std::string& app);
    std::optional<Image> iconPicture(const std::string& name) const;
    void watchDirectories();
    bool directoriesChanged();

    std::vector<std::filesystem::path> dataDirs_;
    UniqueFd inotify_;
    std::map<std::string, Image> cache_;
    // StartupWMClass= to Icon=; read when first needed after a change.
    std::optional<std::map<std::string, std::string>> wmClasses_;
    Image blank_;
};

// The value of `key` (Icon= by default) in a desktop entry's [Desktop Entry] group.
std::optional<std::string> desktopEntryIcon(const std::string& entryText, const std::string& key = "Icon");
// A PNG file's bytes as a premultiplied ARGB image; none when they cannot be decoded.
std::optional<Image> decodePng(const std::string& bytes);
// An SVG file's bytes drawn to 32 x 32; none when they cannot be parsed or drawn.
std::optional<Image> decodeSvg(const std::string& bytes);

}  // namespace tarvolin::desktop
