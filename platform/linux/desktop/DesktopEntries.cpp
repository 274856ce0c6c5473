#include "DesktopEntries.h"

#include "platform/linux/session/BoundedRead.h"

#include <glib.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <memory>
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

// The keys a localized value is looked up under, most specific first; the encoding plays no part.
std::vector<std::string> localeKeys(const std::string& key, const std::string& locale) {
    const auto at = locale.find('@');
    const std::string modifier = at == std::string::npos ? "" : locale.substr(at + 1);
    const std::string name = locale.substr(0, std::min(at, locale.find('.')));
    const auto underscore = name.find('_');
    const std::string lang = name.substr(0, underscore);
    const std::string country = underscore == std::string::npos ? "" : name.substr(underscore + 1);
    std::vector<std::string> keys;
    auto add = [&](const std::string& suffix) { keys.push_back(key + "[" + suffix + "]"); };
    if (!lang.empty()) {
        if (!country.empty() && !modifier.empty()) add(lang + "_" + country + "@" + modifier);
        if (!country.empty()) add(lang + "_" + country);
        if (!modifier.empty()) add(lang + "@" + modifier);
        add(lang);
    }
    keys.push_back(key);
    return keys;
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

std::optional<std::string> DesktopEntries::nameFor(const std::string& app, const std::string& locale) {
    const auto text = entryFor(app);
    return text ? desktopEntryName(*text, locale) : std::nullopt;
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

std::optional<std::string> desktopEntryName(const std::string& entryText, const std::string& locale) {
    // GLib's key-file reader, as GNOME reads entries: it undoes the escapes and refuses values
    // that are not UTF-8. Every translation is kept, not only the process locale's.
    std::unique_ptr<GKeyFile, decltype(&g_key_file_free)> file(g_key_file_new(), g_key_file_free);
    if (!g_key_file_load_from_data(file.get(), entryText.data(), entryText.size(),
                                   G_KEY_FILE_KEEP_TRANSLATIONS, nullptr))
        return std::nullopt;
    for (const std::string& key : localeKeys("Name", locale)) {
        std::unique_ptr<gchar, decltype(&g_free)> value(
            g_key_file_get_string(file.get(), "Desktop Entry", key.c_str(), nullptr), g_free);
        if (value && *value.get() != '\0') return std::string(value.get());
    }
    return std::nullopt;
}

std::string messagesLocale() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"})
        if (const char* value = std::getenv(name); value && *value) return value;
    return {};
}

}  // namespace tarvolin::desktop
