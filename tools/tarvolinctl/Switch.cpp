#include "Switch.h"

#include "platform/linux/session/BoundedRead.h"
#include "platform/linux/session/PrivateDir.h"
#include "platform/linux/session/UniqueFd.h"

#include <dirent.h>
#include <fcntl.h>
#include <png.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <system_error>
#include <thread>
#include <utility>

extern char** environ;

namespace tarvolin {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kMaxAnswer = 64 * 1024;  // the first line is all that counts
constexpr std::size_t kMaxPartChars = 200;     // of a row's key, application or title
constexpr int kIconPixels = 32;

std::string withoutControls(std::string text) {
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    return text;
}

// The code point of the valid UTF-8 character that starts `s` and its length; length 0
// when none starts there (a stray, overlong, surrogate or out-of-range sequence).
std::pair<char32_t, std::size_t> firstCharacter(std::string_view s) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) return {lead, 1};
    std::size_t length = 0;
    char32_t cp = 0, least = 0;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2, cp = lead & 0x1fu, least = 0x80;
    } else if ((lead & 0xf0) == 0xe0) {
        length = 3, cp = lead & 0x0fu, least = 0x800;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4, cp = lead & 0x07u, least = 0x10000;
    } else {
        return {0, 0};
    }
    if (s.size() < length) return {0, 0};
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xc0) != 0x80) return {0, 0};
        cp = (cp << 6) | (byte(i) & 0x3fu);
    }
    if (cp < least || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return {0, 0};
    return {cp, length};
}

// Characters a menu may take as the end of a line or a field, or not show at all.
bool breaksRow(char32_t cp) {
    return cp < 0x20 || (cp >= 0x7f && cp <= 0x9f) || cp == 0x2028 || cp == 0x2029;
}

std::string trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return std::string(text.substr(first, text.find_last_not_of(" \t") - first + 1));
}

// Characters, not bytes, for the column width (UTF-8 continuation bytes do not count).
std::size_t characters(std::string_view text) {
    return static_cast<std::size_t>(std::count_if(
        text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xc0) != 0x80; }));
}

std::string asciiLower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The space-separated words of `typed`, ignoring case.
std::vector<std::string> words(const std::string& typed) {
    std::vector<std::string> all;
    std::istringstream in(asciiLower(typed));
    for (std::string word; in >> word;) all.push_back(word);
    return all;
}

// Whether a menu that matches each typed word anywhere in a line, ignoring case, shows the
// line (given in lower case).
bool holds(const std::string& lowerLine, const std::vector<std::string>& typedWords) {
    return std::all_of(typedWords.begin(), typedWords.end(),
                       [&](const std::string& w) { return lowerLine.find(w) != std::string::npos; });
}

bool executable(const fs::path& file) {
    struct stat st {};
    return ::stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(file.c_str(), X_OK) == 0;
}

// The application's name as a file name: letters, digits, '-', '_' and inner dots kept,
// every other byte as %XX, so names cannot reach outside the folder or collide.
std::string iconFileName(const std::string& app) {
    std::string name;
    for (std::size_t i = 0; i < app.size(); ++i) {
        const auto c = static_cast<unsigned char>(app[i]);
        if (std::isalnum(c) || c == '-' || c == '_' || (c == '.' && i > 0)) {
            name += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            name += hex;
        }
    }
    if (name.size() > 200) {  // within NAME_MAX, still one file per name
        std::uint64_t hash = 14695981039346656037ull;
        for (unsigned char c : app) hash = (hash ^ c) * 1099511628211ull;
        char hex[17];
        std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
        name = name.substr(0, 180) + "-" + hex;
    }
    return name + ".png";
}

// The icon as PNG bytes; empty when there is nothing to show.
std::vector<unsigned char> encodePng(const Image& icon) {
    if (icon.pixelWidth() != kIconPixels || icon.pixelHeight() != kIconPixels) return {};
    std::vector<unsigned char> rgba;
    rgba.reserve(icon.pixels().size() * 4);
    bool visible = false;
    for (std::uint32_t p : icon.pixels()) {
        const std::uint32_t a = p >> 24;
        visible = visible || a != 0;
        for (int shift : {16, 8, 0}) {
            const std::uint32_t c = (p >> shift) & 0xff;  // premultiplied
            rgba.push_back(
                static_cast<unsigned char>(a == 0 ? 0 : std::min<std::uint32_t>(255, (c * 255 + a / 2) / a)));
        }
        rgba.push_back(static_cast<unsigned char>(a));
    }
    if (!visible) return {};
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = image.height = kIconPixels;
    image.format = PNG_FORMAT_RGBA;
    png_alloc_size_t size = 0;
    if (!png_image_write_to_memory(&image, nullptr, &size, 0, rgba.data(), 0, nullptr)) return {};
    std::vector<unsigned char> png(size);
    if (!png_image_write_to_memory(&image, png.data(), &size, 0, rgba.data(), 0, nullptr)) return {};
    png.resize(size);
    return png;
}

// Whether `file` is this user's own regular file, which nobody else may write, holding `bytes`.
bool holdsOwn(const fs::path& file, const std::vector<unsigned char>& bytes) {
    const BoundedFile held = readBoundedFile(AT_FDCWD, file.c_str(), bytes.size(), O_NOFOLLOW);
    return held.regular && !held.tooLarge && held.owner == ::geteuid() && (held.mode & 022) == 0 &&
           std::equal(held.bytes.begin(), held.bytes.end(), bytes.begin(), bytes.end(),
                      [](char a, unsigned char b) { return static_cast<unsigned char>(a) == b; });
}

// Leaves `bytes` in `file` unless it already holds them; a reader sees the old file or the new one.
bool writeIfChanged(const fs::path& file, const std::vector<unsigned char>& bytes) {
    if (holdsOwn(file, bytes)) return true;
    std::string temp = (file.parent_path() / ("." + file.filename().string() + ".XXXXXX")).string();
    UniqueFd fd(::mkstemp(temp.data()));
    if (!fd) return false;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    if (done == bytes.size() && ::fchmod(fd.get(), 0644) == 0 && ::rename(temp.c_str(), file.c_str()) == 0)
        return true;
    ::unlink(temp.c_str());
    return false;
}

// Opens `name` under `parent` (made 0700 when missing) as this user's own directory and
// takes group and other access away from it and from the files in it; what others left
// there (their files, any link) is removed: a folder that was open to them may hold it.
UniqueFd makePrivate(int parent, const fs::path& shown, const char* name, std::string& error) {
    if (::mkdirat(parent, name, 0700) != 0 && errno != EEXIST) {
        error = "cannot create " + shown.string() + ": " + std::strerror(errno);
        return {};
    }
    UniqueFd dir(::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!dir || ::fstat(dir.get(), &st) != 0) {
        error = "cannot open " + shown.string() + ": " + std::strerror(errno) +
                (errno == ELOOP || errno == ENOTDIR ? " (it must be a real directory, not a link)" : "");
        return {};
    }
    if (st.st_uid != ::geteuid() || ((st.st_mode & 077) != 0 && ::fchmod(dir.get(), 0700) != 0)) {
        error = "refusing " + shown.string() + ": it is not this user's own, or its mode cannot be made 0700";
        return {};
    }
    UniqueFd listing(::dup(dir.get()));
    DIR* entries = listing ? ::fdopendir(listing.get()) : nullptr;
    if (entries == nullptr) return dir;
    listing.release();  // closedir closes it
    while (const dirent* entry = ::readdir(entries)) {
        const std::string_view file = entry->d_name;
        struct stat fileSt {};
        if (file == "." || file == ".." ||
            ::fstatat(dir.get(), entry->d_name, &fileSt, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (fileSt.st_uid != ::geteuid() || S_ISLNK(fileSt.st_mode))
            ::unlinkat(dir.get(), entry->d_name, 0);
        else if (S_ISREG(fileSt.st_mode) && (fileSt.st_mode & 022) != 0)
            ::fchmodat(dir.get(), entry->d_name, fileSt.st_mode & 0755, 0);
    }
    ::closedir(entries);
    return dir;
}

// Gives the terminal's foreground to a menu's process group, so a terminal menu reads keys
// and Ctrl+C reaches it, and takes it back; only when we held it.
class TerminalForeground {
public:
    TerminalForeground() : tty_(::open("/dev/tty", O_RDONLY | O_CLOEXEC | O_NOCTTY)) {
        if (tty_ && ::tcgetpgrp(tty_.get()) != ::getpgrp()) tty_.reset();
    }
    ~TerminalForeground() {
        if (tty_ && handed_) setForeground(::getpgrp());
    }
    TerminalForeground(const TerminalForeground&) = delete;
    TerminalForeground& operator=(const TerminalForeground&) = delete;

    void handTo(pid_t group) {
        if (!tty_) return;
        handed_ = true;
        setForeground(group);
        ::kill(-group, SIGCONT);  // one that read the terminal before it had it was stopped
    }

private:
    // From a background group, tcsetpgrp raises SIGTTOU, which would stop us; blocked, it is allowed.
    void setForeground(pid_t group) {
        sigset_t ttou, before;
        sigemptyset(&ttou);
        sigaddset(&ttou, SIGTTOU);
        ::pthread_sigmask(SIG_BLOCK, &ttou, &before);
        ::tcsetpgrp(tty_.get(), group);
        ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    }
    UniqueFd tty_;
    bool handed_ = false;
};

// Ends the menu's process group, reaping its leader: a polite request first, then SIGKILL
// for whatever of the group is left after a second.
void endGroup(pid_t leader) {
    ::kill(-leader, SIGTERM);
    ::kill(-leader, SIGCONT);  // a stopped member acts on SIGTERM only once continued
    int status = 0;
    bool reaped = false;
    for (int i = 0; i < 100; ++i) {
        reaped = reaped || ::waitpid(leader, &status, WNOHANG) == leader;
        if (reaped && ::kill(-leader, 0) != 0) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(-leader, SIGKILL);
    if (!reaped) ::waitpid(leader, &status, 0);
}

}  // namespace

std::optional<fs::path> privateIconDirectory(std::string& error) {
    const fs::path cache = cacheDirectory();
    // The folders above are the user's; only missing ones are made (0700).
    fs::path partial;
    for (const auto& part : cache.parent_path()) {
        partial /= part;
        if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
            error = "cannot create " + partial.string() + ": " + std::strerror(errno);
            return std::nullopt;
        }
    }
    UniqueFd above(::open(cache.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!above) {
        error = "cannot open " + cache.parent_path().string() + ": " + std::strerror(errno);
        return std::nullopt;
    }
    UniqueFd ours = makePrivate(above.get(), cache, cache.filename().c_str(), error);
    if (!ours || !makePrivate(ours.get(), cache / "icons", "icons", error)) return std::nullopt;
    return cache / "icons";
}

const std::vector<std::vector<std::string>>& defaultMenus() {
    // Each keeps the input order among the rows it shows (dmenu, bemenu and wofi put rows
    // that start with what was typed first, fuzzel exact matches before fuzzy ones), so the
    // order menuOrder() gives decides what a typed label picks. Not rofi's sorting: it ranks
    // a match near the end of a row first. Not wofi's cache: it lists rows chosen before first.
    static const std::vector<std::vector<std::string>> menus{
        {"rofi", "-dmenu", "-i", "-show-icons"},
        {"wofi", "--dmenu", "-i", "--cache-file", "/dev/null"},
        {"fuzzel", "--dmenu"},
        {"bemenu", "-i"},
        {"dmenu", "-i"}};
    return menus;
}

std::optional<MenuCommand> chooseMenu(const std::optional<std::string>& named, const std::string& path,
                                      bool waylandFirst) {
    if (named && !trimmed(*named).empty()) {
        std::istringstream words(*named);
        std::string first;
        words >> first;
        return MenuCommand{{"/bin/sh", "-c", *named}, *named, fs::path(first).filename() == "rofi"};
    }
    std::vector<std::vector<std::string>> menus = defaultMenus();
    // The layer-shell menus take the compositor's keyboard; rofi and dmenu only Xwayland's.
    if (waylandFirst)
        std::stable_partition(menus.begin(), menus.end(),
                              [](const auto& menu) { return menu[0] != "rofi" && menu[0] != "dmenu"; });
    for (const auto& menu : menus) {
        std::istringstream dirs(path);
        for (std::string dir; std::getline(dirs, dir, ':');) {
            if (dir.empty() || !executable(fs::path(dir) / menu[0])) continue;
            MenuCommand command{menu, menu[0], menu[0] == "rofi"};
            command.argv[0] = (fs::path(dir) / menu[0]).string();
            return command;
        }
    }
    return std::nullopt;
}

std::string rowText(std::string_view text, std::size_t maxChars) {
    if (maxChars == 0) return {};
    std::string clean;
    clean.reserve(text.size());
    while (!text.empty()) {
        const auto [cp, length] = firstCharacter(text);
        if (length == 0)
            clean += "\xEF\xBF\xBD";  // U+FFFD
        else if (breaksRow(cp))
            clean += ' ';
        else
            clean += text.substr(0, length);
        text.remove_prefix(std::max<std::size_t>(length, 1));
    }
    clean = trimmed(clean);
    std::size_t chars = 0, cut = std::string::npos;
    for (std::size_t i = 0; i < clean.size(); ++i) {
        if ((static_cast<unsigned char>(clean[i]) & 0xc0) == 0x80) continue;  // inside a character
        if (chars + 1 == maxChars) cut = i;
        if (++chars > maxChars) return trimmed(clean.substr(0, cut)) + "\xE2\x80\xA6";  // U+2026
    }
    return clean;
}

std::vector<std::string> distinctRows(std::vector<std::string> rows,
                                      const std::vector<WindowEntry>& windows) {
    // A renamed row must not take the text another row has as given, nor one given out already.
    const std::set<std::string> given(rows.begin(), rows.end());
    std::set<std::string> taken;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        std::string& row = rows[i];
        if (!row.empty() && taken.insert(row).second) continue;
        const std::string renamed = row + (row.empty() ? "#" : "  #") + std::to_string(windows.at(i).winId);
        std::string candidate = renamed;
        for (int n = 2; given.count(candidate) != 0 || taken.count(candidate) != 0; ++n)
            candidate = renamed + "." + std::to_string(n);
        taken.insert(candidate);
        row = std::move(candidate);
    }
    return rows;
}

std::vector<std::string> menuLines(const std::vector<WindowEntry>& windows,
                                   const std::map<std::string, std::string>& appNames) {
    // The labels as a column as wide as the longest, rows without one padded with spaces:
    // a row starts with a typed label only when it is that label's row (or one it prefixes).
    std::vector<std::string> keys;
    std::size_t width = 0;
    for (const auto& w : windows) {
        keys.push_back(rowText(w.key, kMaxPartChars));
        width = std::max(width, characters(keys.back()));
    }
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < windows.size(); ++i) {
        const auto& w = windows[i];
        std::string line = width == 0 ? "" : keys[i] + std::string(width - characters(keys[i]) + 2, ' ');
        const std::string app = w.appName.value_or("");
        const auto name = appNames.find(app);
        std::string shownApp = name == appNames.end() ? "" : rowText(name->second, kMaxPartChars);
        if (shownApp.empty()) shownApp = rowText(app, kMaxPartChars);
        for (const std::string& text : {shownApp, rowText(w.title.value_or(""), kMaxPartChars)}) {
            if (text.empty()) continue;
            line += (line.empty() || line.back() == ' ' ? "" : "  ") + text;
        }
        line.erase(line.find_last_not_of(' ') + 1);
        lines.push_back(std::move(line));
    }
    return distinctRows(std::move(lines), windows);
}

std::vector<std::size_t> menuOrder(const std::vector<std::string>& lines,
                                   const std::vector<WindowEntry>& windows) {
    const std::size_t n = std::min(lines.size(), windows.size());
    // mustPrecede[j]: the labelled rows whose label row j holds; waiting[i]: how many rows
    // holding row i's label are not placed yet.
    std::vector<std::vector<std::size_t>> mustPrecede(n);
    std::vector<std::size_t> waiting(n, 0);
    std::vector<std::string> lower;
    for (std::size_t j = 0; j < n; ++j) lower.push_back(asciiLower(lines[j]));
    for (std::size_t i = 0; i < n; ++i) {
        const auto label = words(rowText(windows[i].key, kMaxPartChars));
        if (label.empty()) continue;
        for (std::size_t j = 0; j < n; ++j) {
            if (j == i || !holds(lower[j], label)) continue;
            mustPrecede[j].push_back(i);
            ++waiting[i];
        }
    }
    // Placed from the back, the latest row whose followers are all placed first: a labelled
    // row moves up to just before the first row that holds its label, the rest keep their order.
    std::vector<std::size_t> order;
    std::vector<bool> placed(n, false);
    while (order.size() < n) {
        std::size_t pick = n;
        for (std::size_t i = n; i-- > 0 && pick == n;)
            if (!placed[i] && waiting[i] == 0) pick = i;
        for (std::size_t i = n; i-- > 0 && pick == n;)  // labels that hold each other: no order serves both
            if (!placed[i]) pick = i;
        placed[pick] = true;
        order.push_back(pick);
        for (std::size_t p : mustPrecede[pick])
            if (waiting[p] > 0) --waiting[p];
    }
    std::reverse(order.begin(), order.end());
    return order;
}

std::optional<std::size_t> chosenWindow(const std::vector<std::string>& lines,
                                        const std::vector<WindowEntry>& windows, std::string_view answer) {
    answer = answer.substr(0, answer.find('\n'));
    if (!answer.empty() && answer.back() == '\r') answer.remove_suffix(1);
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (!answer.empty() && lines[i] == answer) return i;
    const std::string label = trimmed(answer);
    if (label.empty()) return std::nullopt;
    for (std::size_t i = 0; i < windows.size(); ++i)
        if (rowText(windows[i].key, kMaxPartChars) == label) return i;
    // A menu that strips the label column's padding: only a line that no other one trims to.
    std::optional<std::size_t> unpadded;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (trimmed(lines[i]) != label) continue;
        if (unpadded) return std::nullopt;
        unpadded = i;
    }
    return unpadded;
}

std::vector<std::string> cachedIcons(const std::vector<WindowEntry>& windows, const fs::path& dir) {
    std::vector<std::string> files;
    std::map<std::string, std::string> byApp;
    // The path travels inside a menu line: it must not hold a line or field separator.
    const bool usable = withoutControls(dir.string()) == dir.string();
    for (const auto& w : windows) {
        if (!usable || !w.appName || w.appName->empty()) {
            files.emplace_back();
            continue;
        }
        auto [it, fresh] = byApp.try_emplace(*w.appName);
        if (fresh) {
            const fs::path file = dir / iconFileName(*w.appName);
            const auto png = encodePng(w.icon);
            if (!png.empty() && writeIfChanged(file, png)) it->second = file.string();
        }
        files.push_back(it->second);
    }
    return files;
}

MenuAnswer runMenu(const std::vector<std::string>& argv, const std::string& input,
                   std::chrono::milliseconds timeout) {
    MenuAnswer answer;
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
    UniqueFd inRead(in[0]), inWrite(in[1]);
    if (::pipe2(out, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
    UniqueFd outRead(out[0]), outWrite(out[1]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inRead.get(), STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, outWrite.get(), STDOUT_FILENO);
    // We ignore SIGPIPE to see a menu that stops reading as EPIPE; the menu gets the default.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    // A menu run by sh is sh's child, so a menu that must be ended is ended as a process group.
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, static_cast<short>(POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP));
    TerminalForeground terminal;
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, args[0], &actions, &attributes, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) return {MenuAnswer::End::notStarted, spawned, {}};
    terminal.handTo(pid);
    inRead.reset();
    outWrite.reset();

    std::signal(SIGPIPE, SIG_IGN);
    ::fcntl(inWrite.get(), F_SETFL, O_NONBLOCK);
    const auto deadline = Clock::now() + timeout;
    auto left = [&] {
        return static_cast<int>(std::max<std::int64_t>(
            0, std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count()));
    };
    std::size_t written = 0;
    if (input.empty()) inWrite.reset();
    while (outRead) {
        if (left() == 0) {
            answer.end = MenuAnswer::End::timedOut;
            break;
        }
        pollfd fds[2] = {{outRead.get(), POLLIN, 0}, {inWrite.get(), POLLOUT, 0}};
        if (::poll(fds, inWrite ? 2 : 1, left()) < 0 && errno != EINTR)
            throw std::system_error(errno, std::generic_category(), "poll");
        if (inWrite && fds[1].revents != 0) {
            const ssize_t n = ::write(inWrite.get(), input.data() + written, input.size() - written);
            if (n > 0) written += static_cast<std::size_t>(n);
            if ((n < 0 && errno != EAGAIN && errno != EINTR) || written == input.size())
                inWrite.reset();  // all given, or it stopped reading: either way it has its list
        }
        if (fds[0].revents != 0) {
            char buffer[4096];
            const ssize_t n = ::read(outRead.get(), buffer, sizeof buffer);
            if (n > 0 && answer.out.size() < kMaxAnswer)
                answer.out.append(buffer, static_cast<std::size_t>(n));
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) outRead.reset();
        }
    }
    inWrite.reset();
    outRead.reset();

    int status = 0;
    while (answer.end != MenuAnswer::End::timedOut && ::waitpid(pid, &status, WNOHANG) == 0) {
        if (left() == 0) answer.end = MenuAnswer::End::timedOut;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (answer.end == MenuAnswer::End::timedOut) {
        endGroup(pid);
        return answer;
    }
    if (WIFSIGNALED(status))
        answer = {MenuAnswer::End::signalled, WTERMSIG(status), std::move(answer.out)};
    else
        answer.status = WEXITSTATUS(status);
    return answer;
}

namespace {

// The user's menu program on `input`: 0 with its answer in `out`, else the exit code.
int askMenu(const MenuCommand& menu, const std::string& input, std::chrono::milliseconds timeout,
            std::string& out) {
    const auto answer = runMenu(menu.argv, input, timeout);
    const std::string& program = menu.name;
    switch (answer.end) {
        case MenuAnswer::End::notStarted:
            std::cerr << "tarvolinctl: cannot start " << program << ": " << std::strerror(answer.status)
                      << "\n";
            return 2;
        case MenuAnswer::End::timedOut:
            std::cerr << "tarvolinctl: " << program << " gave no answer in time; nothing sent\n";
            return 1;
        case MenuAnswer::End::signalled:
            std::cerr << "tarvolinctl: " << program << " ended by signal " << answer.status
                      << "; nothing sent\n";
            return 1;
        case MenuAnswer::End::exited:
            break;
    }
    if (answer.status == 126 || answer.status == 127) {
        std::cerr << "tarvolinctl: cannot run " << program << " (status " << answer.status << ")\n";
        return 2;
    }
    const std::string choice = rowText(answer.out.substr(0, answer.out.find('\n')), kMaxPartChars);
    if (answer.status != 0 || choice.empty()) {
        if (!choice.empty())
            std::cerr << "tarvolinctl: " << program << " ended with status " << answer.status
                      << "; nothing sent\n";
        return 1;  // Escape, or an empty choice
    }
    out = answer.out;
    return 0;
}

}  // namespace

int switchWindow(const SwitchOptions& options, const SwitchPeers& peers) {
    auto named = options.menu;
    if (const char* fromEnv = std::getenv("TARVOLIN_MENU"); !named && fromEnv != nullptr) named = fromEnv;
    // Where the desktop draws a list of its own (GNOME Shell), that is the default.
    const bool desktopDrawn = !named && peers.desktopMenu;
    std::optional<MenuCommand> menu;
    if (!desktopDrawn) {
        const char* path = std::getenv("PATH");
        // A Wayland desktop the agent works on without $SWAYSOCK, nor a list of its own, is KDE Plasma.
        const bool plasma = std::getenv("WAYLAND_DISPLAY") != nullptr && std::getenv("SWAYSOCK") == nullptr;
        menu = chooseMenu(named, path != nullptr ? path : "", plasma);
        if (!menu) {
            std::cerr
                << "tarvolinctl: no menu program found: install one of rofi, wofi, fuzzel, bemenu or dmenu, "
                   "or name one with --menu or $TARVOLIN_MENU\n";
            return 2;
        }
    }
    // A command placed without an agent would wait for a later one, which throws it away.
    if (!peers.agentRunning()) {
        std::cerr << "tarvolinctl: no agent is running; nothing shown, nothing sent. Start it with "
                     "`systemctl --user start tarvolin-agent.service` (or run tarvolin-agent)\n";
        return 1;
    }
    std::string error;
    const auto windows = peers.scan(error);
    if (!windows) {
        std::cerr << "tarvolinctl: " << error << "\n";
        return 1;
    }
    if (windows->empty()) {
        std::cerr << "tarvolinctl: no windows to switch to\n";
        return 1;
    }
    std::map<std::string, std::string> appNames;
    for (const WindowEntry& w : *windows)
        if (peers.applicationName && w.appName && !appNames.contains(*w.appName))
            appNames[*w.appName] = peers.applicationName(*w.appName).value_or("");
    const auto lines = menuLines(*windows, appNames);
    std::vector<std::string> icons;
    if (desktopDrawn || menu->rofi) {
        if (const auto dir = privateIconDirectory(error))
            icons = cachedIcons(*windows, *dir);
        else
            std::cerr << "tarvolinctl: showing no icons: " << error << "\n";
    }
    std::string out;
    if (desktopDrawn) {
        std::vector<std::string> rows, rowIcons;
        for (std::size_t i : menuOrder(lines, *windows)) {
            rows.push_back(lines[i]);
            rowIcons.push_back(icons.empty() ? std::string() : icons[i]);
        }
        const auto chosen = peers.desktopMenu(rows, rowIcons, options.timeout, error);
        if (!chosen) {
            std::cerr << "tarvolinctl: " << error << "; nothing sent\n";
            return 1;
        }
        if (chosen->empty()) return 1;  // Escape, or the time ran out
        out = *chosen;
    } else {
        std::string input;
        for (std::size_t i : menuOrder(lines, *windows)) {
            input += lines[i];
            if (!icons.empty() && !icons[i].empty()) input += std::string("\0icon\x1f", 6) + icons[i];
            input += '\n';
        }
        if (int code = askMenu(*menu, input, options.timeout, out); code != 0) return code;
    }
    const std::string choice = rowText(out.substr(0, out.find('\n')), kMaxPartChars);
    const auto chosen = chosenWindow(lines, *windows, out);
    if (!chosen) {
        std::cerr << "tarvolinctl: no window matches \"" << choice << "\"; nothing sent\n";
        return 1;
    }
    const WindowEntry& picked = (*windows)[*chosen];
    // The menu may have been open for minutes, and X gives a closed window's number to a new one.
    const auto now = peers.scan(error);
    if (!now) {
        std::cerr << "tarvolinctl: " << error << "; nothing sent\n";
        return 1;
    }
    const bool stillThere = std::any_of(now->begin(), now->end(), [&](const WindowEntry& w) {
        return w.winId == picked.winId && w.pid == picked.pid && w.appName == picked.appName;
    });
    if (!stillThere) {
        std::cerr << "tarvolinctl: the chosen window (" << picked.winId
                  << ") has closed or is now another window; nothing sent\n";
        return 1;
    }
    if (!peers.agentRunning()) {
        std::cerr << "tarvolinctl: the agent stopped while the menu was open; nothing sent\n";
        return 1;
    }
    peers.send(picked);
    return 0;
}

}  // namespace tarvolin
