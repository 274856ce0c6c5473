#pragma once

// tarvolinctl switch: the inventory shown through the user's menu program (rofi, wofi,
// fuzzel, bemenu, dmenu), and the chosen window's command sent to the agent.

#include "Windows.h"

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvolin {

struct MenuCommand {
    std::vector<std::string> argv;
    std::string name;   // as the user knows it, for messages
    bool rofi = false;  // takes icons through its row options
};

// The menus tried, in order, when none is named.
const std::vector<std::vector<std::string>>& defaultMenus();

// A named menu (--menu or $TARVOLIN_MENU) runs through /bin/sh -c, so it is written as on
// a shell's command line; with none named, the first default found on `path` runs, the
// Wayland menus first when `waylandFirst` (KDE Plasma, where X menus run through Xwayland).
// It is rofi when its first word names rofi. None when no default is found.
std::optional<MenuCommand> chooseMenu(const std::optional<std::string>& named, const std::string& path,
                                      bool waylandFirst = false);

// Text as a row can carry it and a menu hand back unchanged: valid UTF-8 (a byte that
// starts no valid character becomes U+FFFD), control characters and line separators as
// spaces, outer blanks trimmed, at most `maxChars` characters (cut on a character
// boundary, the cut marked with U+2026).
std::string rowText(std::string_view text, std::size_t maxChars);

// The rows made distinct, in order: the first of equal rows keeps its text; a repeat,
// or an empty row, gets "  #<window number>" (and ".2", ".3" ... while that still
// equals a row), never the text of another row.
std::vector<std::string> distinctRows(std::vector<std::string> rows, const std::vector<WindowEntry>& windows);

// One line per window, in the inventory's order: "KEY  Application  Title", the key labels
// a column padded to the longest (spaces on a line without one; no column when no window
// has a label), the application the name `appNames` gives its app id (the app id where it
// gives none that shows), the title left out when empty, each part passed through rowText;
// made distinct, so each line names one window.
std::vector<std::string> menuLines(const std::vector<WindowEntry>& windows,
                                   const std::map<std::string, std::string>& appNames = {});

// The order to show the lines in: the inventory's, except that a labelled line comes before
// every line that also holds its label (ignoring case, each word of it anywhere), so that a
// menu showing the lines that hold what was typed, in input order or those starting with it
// first, has the label's own line first.
std::vector<std::size_t> menuOrder(const std::vector<std::string>& lines,
                                   const std::vector<WindowEntry>& windows);

// The window the menu answered: its line, or a key label typed alone (the front-most
// window with it). None for an empty or unknown answer. Only the first line counts.
std::optional<std::size_t> chosenWindow(const std::vector<std::string>& lines,
                                        const std::vector<WindowEntry>& windows, std::string_view answer);

// Each application's icon as a 32 x 32 PNG in `dir`, written atomically and only when it
// changed or the file there is not the user's own with no write access for others; the
// file per window, "" where there is no icon or it could not be written.
std::vector<std::string> cachedIcons(const std::vector<WindowEntry>& windows,
                                     const std::filesystem::path& dir);

struct MenuAnswer {
    enum class End { exited, signalled, timedOut, notStarted } end = End::exited;
    int status = 0;   // the exit status, or the signal
    std::string out;  // everything it wrote
};

// Runs the menu with `input` on its stdin and collects its stdout, both at once, so a list
// larger than a pipe holds cannot deadlock. The menu runs in its own process group, which
// holds the terminal's foreground while it runs (when we held it), so a terminal menu reads
// keys; when it has not answered by `timeout` the whole group is ended.
MenuAnswer runMenu(const std::vector<std::string>& argv, const std::string& input,
                   std::chrono::milliseconds timeout);

struct SwitchOptions {
    std::optional<std::string> menu;
    std::chrono::milliseconds timeout{};
};

// What the switcher needs from the desktop and the agent.
struct SwitchPeers {
    std::function<std::optional<std::vector<WindowEntry>>(std::string& error)> scan;
    std::function<bool()> agentRunning;
    std::function<void(const WindowEntry&)> send;  // places the command; throws when it cannot
    // The name people know an app id by (its desktop entry's, in their language); none, or
    // no function: the app id is shown.
    std::function<std::optional<std::string>(const std::string& appName)> applicationName;
    // The list the desktop draws itself, the default menu where there is one (GNOME Shell):
    // the row picked, "" for none; none, with the error, when it could not be shown.
    std::function<std::optional<std::string>(const std::vector<std::string>& rows,
                                             const std::vector<std::string>& icons,
                                             std::chrono::milliseconds timeout, std::string& error)>
        desktopMenu;
};

// The whole command: the named menu, else the desktop's own list, else the first default menu
// found. Nothing is shown without an agent, and the command goes out only
// when a fresh scan still has the chosen window (same number, process and application).
// Returns the exit code.
int switchWindow(const SwitchOptions& options, const SwitchPeers& peers);

// $XDG_CACHE_HOME/tarvolin/icons, made (or made again) private: 0700 from the cache folder
// down, when they are this user's own. None, with `error` set, when they cannot be.
std::optional<std::filesystem::path> privateIconDirectory(std::string& error);

}  // namespace tarvolin
