#include "DesktopEntries.h"

#include "platform/linux/session/BoundedRead.h"

#include <cctype>
#include <cstdlib>
#include <sstream>

namespace tarvolin::desktop {

namespace fs = std::filesystem;

namespace {

std::string lowered(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string trim(std::string s) {
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string::npos) return {};
    return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

std::optional<std::string> readEntry(const fs::path& file) {
    BoundedFile read = readBoundedFile(AT_FDCWD, file.c_str(), DesktopEntries::kMaxEntrySize);
    if (!read.regular || read.tooLarge) return std::nullopt;
    return std::move(read.bytes);
}

}  // namespace

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

DesktopEntries::DesktopEntries() : DesktopEntries(xdgDataDirs()) {}

DesktopEntries::DesktopEntries(std::vector<fs::path> dataDirs) : dataDirs_(std::move(dataDirs)) {}

std::optional<std::string> DesktopEntries::entryFor(const std::string& app) {
    for (const std::string& id : {app, lowered(app)}) {
        // An app id is a name, never a path.
        if (id.empty() || id.find('/') != std::string::npos) return std::nullopt;
        for (const fs::path& dir : dataDirs_)
            if (auto text = readEntry(dir / "applications" / (id + ".desktop"))) return text;
    }
    // X11 names a window by its WM_CLASS, which entries give as StartupWMClass=.
    if (!wmClasses_) {
        wmClasses_.emplace();
        for (const fs::path& dir : dataDirs_) {
            std::error_code ec;
            for (fs::directory_iterator it(dir / "applications", ec), end; !ec && it != end;
                 it.increment(ec)) {
                if (it->path().extension() != ".desktop") continue;
                const auto text = readEntry(it->path());
                if (const auto wmClass = text ? desktopEntryValue(*text, "StartupWMClass") : std::nullopt)
                    wmClasses_->emplace(*wmClass, it->path());  // the first data directory's wins
            }
        }
    }
    if (auto it = wmClasses_->find(app); it != wmClasses_->end()) return readEntry(it->second);
    for (const auto& [wmClass, file] : *wmClasses_)
        if (lowered(wmClass) == lowered(app)) return readEntry(file);
    return std::nullopt;
}

std::optional<std::string> desktopEntryValue(const std::string& entryText, const std::string& key) {
    std::istringstream in(entryText);
    bool inEntry = false;
    for (std::string line; std::getline(in, line);) {
        line = trim(line);
        if (line.starts_with('[')) {
            inEntry = line == "[Desktop Entry]";
            continue;
        }
        if (!inEntry || !line.starts_with(key)) continue;
        const auto eq = line.find('=');
        if (eq == std::string::npos || trim(line.substr(0, eq)) != key) continue;
        auto value = trim(line.substr(eq + 1));
        if (!value.empty()) return value;
    }
    return std::nullopt;
}

}  // namespace tarvolin::desktop
