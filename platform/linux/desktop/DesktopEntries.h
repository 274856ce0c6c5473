#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tarvolin::desktop {

// $XDG_DATA_HOME (else ~/.local/share), then $XDG_DATA_DIRS (else /usr/local/share:/usr/share).
std::vector<std::filesystem::path> xdgDataDirs();

// An application's desktop entry as a Linux desktop finds it: the one named after the app id
// (as given, then lower-cased), or else the one whose StartupWMClass= is that name (exactly,
// then ignoring case); the first data directory's first.
class DesktopEntries {
public:
    // Larger entries are refused unread.
    static constexpr std::size_t kMaxEntrySize = 64u << 10;

    // In xdgDataDirs().
    DesktopEntries();
    explicit DesktopEntries(std::vector<std::filesystem::path> dataDirs);

    const std::vector<std::filesystem::path>& dataDirs() const { return dataDirs_; }

    // The entry's text; none when the app has no entry that is a regular file within the cap.
    std::optional<std::string> entryFor(const std::string& app);
    // The entry's Name in `locale` (as $LC_MESSAGES names one); none when it has none.
    std::optional<std::string> nameFor(const std::string& app, const std::string& locale);
    // After entries were added, changed or removed: StartupWMClass= is read again when needed.
    void reload() { wmClasses_.reset(); }

private:
    std::vector<std::filesystem::path> dataDirs_;
    // StartupWMClass= to the entry's file.
    std::optional<std::map<std::string, std::filesystem::path>> wmClasses_;
};

// The value of `key` in a desktop entry's [Desktop Entry] group, as written.
std::optional<std::string> desktopEntryValue(const std::string& entryText, const std::string& key);

// The [Desktop Entry] group's Name for `locale` (lang_COUNTRY.ENCODING@MODIFIER): the first of
// Name[lang_COUNTRY@MODIFIER], Name[lang_COUNTRY], Name[lang@MODIFIER], Name[lang] and Name
// that is there, not empty and UTF-8, its escapes (\s \n \t \r \\) undone. None when no such
// key is there, or the entry is not a well-formed key file.
std::optional<std::string> desktopEntryName(const std::string& entryText, const std::string& locale);

// The locale for messages: $LC_ALL, else $LC_MESSAGES, else $LANG; "" when none is set.
std::string messagesLocale();

}  // namespace tarvolin::desktop
