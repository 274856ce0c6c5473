#pragma once

#include "DesktopEntries.h"
#include "platform/Image.h"
#include "platform/linux/session/UniqueFd.h"

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tarvolin::desktop {

// Application icons as a Linux desktop finds them: the app's desktop entry (DesktopEntries),
// its Icon= key, the hicolor theme's PNG of the nearest size or its SVG, drawn to 32 x 32.
// Looked up once per app, again after the application or icon directories change.
class DesktopIcons {
public:
    static constexpr int kSide = 32;
    // Larger files are refused unread.
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

    DesktopEntries entries_;
    UniqueFd inotify_;
    std::map<std::string, Image> cache_;
    Image blank_;
};

// A PNG file's bytes as a premultiplied ARGB image; none when they cannot be decoded.
std::optional<Image> decodePng(const std::string& bytes);
// An SVG file's bytes drawn to 32 x 32; none when they cannot be parsed or drawn.
std::optional<Image> decodeSvg(const std::string& bytes);

}  // namespace tarvolin::desktop
