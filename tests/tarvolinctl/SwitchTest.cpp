// tarvolinctl switch without a desktop: hostile titles in the rows, the menu's answer mapped
// back, and what is checked between the answer and the send (menus are small shell scripts).
#include "Switch.h"
#include "platform/linux/desktop/DesktopEntries.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace tarvolin {
namespace {

using namespace std::string_literals;

WindowEntry window(std::int64_t id, std::string app, std::optional<std::string> title, std::string key = {}) {
    WindowEntry w;
    w.winId = id;
    w.pid = 100 + id;
    w.appName = std::move(app);
    w.title = std::move(title);
    w.key = std::move(key);
    return w;
}

std::string repeat(std::string_view text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += text;
    return out;
}

const std::string fffd = "\xEF\xBF\xBD", more = "\xE2\x80\xA6";

// On Plasma the menus that take the compositor's keyboard come before those run through Xwayland.
TEST(SwitchMenu, TheFirstMenuFoundOnThePathWaylandOnesFirstOnPlasma) {
    char pattern[] = "/tmp/tarvolin-menus-XXXXXX";
    const std::filesystem::path bin = ::mkdtemp(pattern);
    for (const char* menu : {"dmenu", "rofi", "bemenu"}) {
        std::ofstream(bin / menu) << "#!/bin/sh\n";
        std::filesystem::permissions(bin / menu, std::filesystem::perms::owner_all);
    }
    EXPECT_EQ(chooseMenu(std::nullopt, bin.string())->argv[0], (bin / "rofi").string());
    EXPECT_EQ(chooseMenu(std::nullopt, bin.string(), true)->argv[0], (bin / "bemenu").string());
    std::filesystem::remove(bin / "bemenu");
    EXPECT_EQ(chooseMenu(std::nullopt, bin.string(), true)->argv[0], (bin / "rofi").string());
    std::filesystem::remove_all(bin);
}

TEST(SwitchRows, TextIsCleanedAndCappedOnACharacterBoundary) {
    struct Case {
        std::string in;
        std::size_t max;
        std::string out;
    } cases[] = {
        {"  a\tb\001c\x7f  ", 200, "a b c"},
        {"nel\u0085c1\u009Fls\u2028ps\u2029end", 200, "nel c1 ls ps end"},
        {"\u00A0nbsp", 200, "\u00A0nbsp"},  // shown, not a line break
        {"\xC0\xAFover", 200, fffd + fffd + "over"},
        {"\xF4\x90\x80\x80", 200, repeat(fffd, 4)},
        {"cut\xE2\x82", 200, "cut" + fffd + fffd},
        // The first and last of each length, the last one ending the text.
        {"\xC2\x80|\xDF\xBF|\xE0\xA0\x80|\xED\x9F\xBF|\xEF\xBF\xBF|\xF0\x90\x80\x80|\xF4\x8F\xBF\xBF|"
         "\xC3\xA9",
         200, "|\xDF\xBF|\xE0\xA0\x80|\xED\x9F\xBF|\xEF\xBF\xBF|\xF0\x90\x80\x80|\xF4\x8F\xBF\xBF|\xC3\xA9"},
        {"\xED\xBF\xBF|\xE0\x9F\xBF", 200, repeat(fffd, 3) + "|" + repeat(fffd, 3)},
        {"abcde", 5, "abcde"},
        {"abcdef", 5, "abcd" + more},
        {"ab   cdef", 4, "ab" + more},
        {repeat("\xC3\xA9", 6), 5, repeat("\xC3\xA9", 4) + more},
        {"\n\t ", 200, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(rowText(c.in, c.max), c.out) << c.in.substr(0, 40);
}

// Every row, and every row stripped of its label padding, maps back to its own window.
TEST(SwitchRows, AdversarialTitlesGiveDistinctRowsThatMapBackToTheirWindow) {
    struct Case {
        const char* name;
        std::vector<WindowEntry> windows;
        std::vector<std::string> rows;
    } cases[] = {
        {"look-alike first",
         {window(9, "A", "x  #7"), window(5, "A", "x"), window(7, "A", "x")},
         {"A  x  #7", "A  x", "A  x  #7.2"}},
        {"look-alikes of look-alikes",
         {window(7, "A", "x"), window(7, "A", "x"), window(1, "A", "x  #7"), window(2, "A", "x  #7.2")},
         {"A  x", "A  x  #7.3", "A  x  #7", "A  x  #7.2"}},
        {"empty",
         {window(4, "", std::nullopt), window(6, "", ""), window(8, "", "#4")},
         {"#4.2", "#6", "#4"}},
        {"labels",
         {window(1, "A", "t", "n1"), window(2, "A", "n1"), window(3, "A", "t"), window(4, "", std::nullopt)},
         {"n1  A  t", "    A  n1", "    A  t", "#4"}},
        // A NUL in a title would end the text that rofi shows.
        {"controls, line breaks and bad bytes",
         {window(1, "A\x1f", "a\0z\nb"s, ""), window(2, "A", "caf\xE9"), window(3, "A", " a\tz b ")},
         {"A  a z b", "A  caf" + fffd, "A  a z b  #3"}},
        {"long",
         {window(1, "A", repeat("x", 5000)), window(2, repeat("B", 300), "t")},
         {"A  " + repeat("x", 199) + more, repeat("B", 199) + more + "  t"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto rows = menuLines(c.windows);
        EXPECT_EQ(rows, c.rows);
        for (std::size_t i = 0; i < rows.size(); ++i) {
            EXPECT_EQ(chosenWindow(rows, c.windows, rows[i] + "\n"), i) << rows[i];
            EXPECT_EQ(chosenWindow(rows, c.windows, rows[i].substr(rows[i].find_first_not_of(' '))), i);
        }
    }
}

TEST(SwitchRows, AnswersMapToOneWindowOrNone) {
    const std::vector<WindowEntry> windows{window(1, "A", "k2 notes", "k1"), window(2, "A", "x", "k2"),
                                           window(3, "B", "y", "k2"), window(4, "B", "z", "k\0013")};
    const auto rows = menuLines(windows);
    ASSERT_EQ(rows[1], "k2   A  x");
    const std::pair<std::string, std::size_t> chosen[] = {
        {"k2   A  x\r\n", 1}, {"k2   B  y\nk2  A  x\n", 2}, {" k1 \n", 0}, {"k2", 1}, {"k 3", 3}};
    for (const auto& [answer, index] : chosen)
        EXPECT_EQ(chosenWindow(rows, windows, answer), index) << answer;
    for (const char* none : {"k2  A", "", "\n", "nothing\nk1", "k2   A  x  #2", "K1"})
        EXPECT_EQ(chosenWindow(rows, windows, none), std::nullopt) << none;
}

TEST(SwitchRows, IconsLineUpWithTheWindowsAndOnlyVisibleOnesAreWritten) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("tarvolin-switch-icons-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    auto withIcon = [](WindowEntry w, std::uint32_t argb) {
        w.icon = Image({32, 32}, 32, 32, std::vector<std::uint32_t>(32 * 32, argb));
        return w;
    };
    const std::vector<WindowEntry> windows{withIcon(window(1, "", "t"), 0xff3366cc),
                                           withIcon(window(2, "A/b", "t"), 0xff3366cc),
                                           withIcon(window(3, "B", "t"), 0x00000000), window(4, "C", "t"),
                                           withIcon(window(5, "A/b", "u"), 0xff3366cc)};
    const std::string a = (dir / "A%2Fb.png").string();
    EXPECT_EQ(cachedIcons(windows, dir), (std::vector<std::string>{"", a, "", "", a}));
    std::vector<std::string> written;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) written.push_back(entry.path());
    EXPECT_EQ(written, std::vector<std::string>{a});
    std::filesystem::remove_all(dir);
}

// The menu notes that it ran and answers the look-alike row of window 7; the agent is up as
// `agentUp` says, one call after another, and the second scan finds `after`.
TEST(SwitchFlow, SendsOnlyToTheSameWindowStillThereWithAnAgent) {
    const std::vector<WindowEntry> before{window(5, "A", "x"), window(7, "A", "x"), window(9, "A", "x  #7")};
    auto reused = before, otherApp = before, moved = before;
    reused[1].pid = 999;
    otherApp[1].appName = "B";
    moved[1].title = "renamed";
    std::swap(moved[0], moved[1]);
    struct Case {
        const char* name;
        std::optional<std::vector<WindowEntry>> after;
        std::vector<bool> agentUp;
        std::vector<std::int64_t> sent;
        std::string said;
    } cases[] = {
        {"still there", moved, {true, true}, {7}, ""},
        {"closed", std::vector<WindowEntry>{before[0], before[2]}, {true, true}, {}, "nothing sent"},
        {"number reused", reused, {true, true}, {}, "nothing sent"},
        {"other application", otherApp, {true, true}, {}, "nothing sent"},
        {"display gone", std::nullopt, {true, true}, {}, "nothing sent"},
        {"agent stopped meanwhile", before, {true, false}, {}, "agent stopped"},
        {"no agent", before, {false}, {}, "systemctl --user start tarvolin-agent.service"},
    };
    const auto ran =
        std::filesystem::temp_directory_path() / ("tarvolin-switch-ran-" + std::to_string(::getpid()));
    SwitchOptions options;
    options.menu = "cat >/dev/null; touch '" + ran.string() + "'; printf '%s\\n' 'A  x  #7.2'";
    options.timeout = std::chrono::seconds(20);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(ran);
        std::size_t scan = 0, probe = 0;
        std::vector<std::int64_t> sent;
        SwitchPeers peers;
        peers.scan = [&](std::string& error) {
            if (scan++ > 0 && !c.after) error = "cannot open the display";
            return scan == 1 ? std::optional(before) : c.after;
        };
        peers.agentRunning = [&] { return probe < c.agentUp.size() && c.agentUp[probe++]; };
        peers.send = [&](const WindowEntry& w) { sent.push_back(w.winId); };
        ::testing::internal::CaptureStderr();
        const int code = switchWindow(options, peers);
        const std::string said = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(code, c.sent.empty() ? 1 : 0) << said;
        EXPECT_EQ(sent, c.sent);
        EXPECT_EQ(std::filesystem::exists(ran), c.agentUp[0]);  // no menu without an agent
        EXPECT_NE(said.find(c.said), std::string::npos) << said;
    }
    std::filesystem::remove(ran);
}

// GNOME Shell draws the list itself: it is the default there, gets the rows in the menu's order
// with each row's icon beside it, and a named menu still wins over it.
TEST(SwitchDesktopList, IsTheDefaultWhereTheDesktopDrawsOneAndANamedMenuWins) {
    ::unsetenv("TARVOLIN_MENU");
    const std::vector<WindowEntry> windows{window(5, "term", "build n1"), window(7, "one", "one", "n1")};
    struct Case {
        const char* name;
        std::optional<std::string> named;
        std::optional<std::string> answer;  // none: the list could not be shown
        std::vector<std::int64_t> sent;
        std::string said;
    } cases[] = {
        {"picked", std::nullopt, "n1  one  one", {7}, ""},
        {"escape", std::nullopt, "", {}, ""},
        {"not shown", std::nullopt, std::nullopt, {}, "the extension is not enabled; nothing sent"},
        {"named menu", "printf '%s\\n' n1", "unused", {7}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> rows, icons;
        std::vector<std::int64_t> sent;
        SwitchOptions options;
        options.menu = c.named;
        options.timeout = std::chrono::seconds(20);
        SwitchPeers peers;
        peers.scan = [&](std::string&) { return std::optional(windows); };
        peers.agentRunning = [] { return true; };
        peers.send = [&](const WindowEntry& w) { sent.push_back(w.winId); };
        peers.desktopMenu = [&](const std::vector<std::string>& r, const std::vector<std::string>& i,
                                std::chrono::milliseconds, std::string& error) {
            rows = r;
            icons = i;
            if (!c.answer) error = "the extension is not enabled";
            return c.answer;
        };
        ::testing::internal::CaptureStderr();
        const int code = switchWindow(options, peers);
        const std::string said = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(code, c.sent.empty() ? 1 : 0) << said;
        EXPECT_EQ(sent, c.sent);
        EXPECT_NE(said.find(c.said), std::string::npos) << said;
        if (c.named) {
            EXPECT_TRUE(rows.empty());
            continue;
        }
        EXPECT_EQ(rows, (std::vector<std::string>{"n1  one  one", "    term  build n1"}));
        EXPECT_EQ(icons.size(), rows.size());
    }
}

// The application column shows the name the app's desktop entry gives it; the app id still
// stands for the window: its label picks it, the fresh scan matches it and the command names it.
TEST(SwitchDesktopList, RowsShowTheEntrysNameWhileTheAppIdStillNamesTheWindow) {
    char pattern[] = "/tmp/tarvolin-entries-XXXXXX";
    const std::filesystem::path data = ::mkdtemp(pattern);
    std::filesystem::create_directories(data / "applications");
    std::ofstream(data / "applications/org.gnome.Nautilus.desktop")
        << "[Desktop Entry]\nName=Files\nName[de]=Dateien\n";
    std::ofstream(data / "applications/blank.desktop") << "[Desktop Entry]\nName=\\n\\t\n";
    std::ofstream(data / "applications/long.desktop") << "[Desktop Entry]\nName=" << repeat("x", 300) << "\n";
    desktop::DesktopEntries entries({data});
    const std::vector<WindowEntry> windows{
        window(7, "org.gnome.Nautilus", "Docs"), window(5, "org.gnome.Nautilus", "Home", "dat"),
        window(8, "blank", "t"), window(9, "long", "t"), window(10, "org.gnome.Nautilus", "Docs")};
    std::vector<std::string> rows;
    std::vector<WindowEntry> sent;
    SwitchOptions options;
    options.timeout = std::chrono::seconds(20);
    SwitchPeers peers;
    peers.scan = [&](std::string&) { return std::optional(windows); };
    peers.agentRunning = [] { return true; };
    peers.send = [&](const WindowEntry& w) { sent.push_back(w); };
    peers.applicationName = [&](const std::string& app) { return entries.nameFor(app, "de_DE.UTF-8"); };
    peers.desktopMenu = [&](const std::vector<std::string>& r, const std::vector<std::string>&,
                            std::chrono::milliseconds, std::string&) {
        rows = r;
        return std::optional<std::string>("dat");  // the label typed alone
    };
    EXPECT_EQ(switchWindow(options, peers), 0);
    // The labelled row first: its label is in the other row's name.
    EXPECT_EQ(rows, (std::vector<std::string>{"dat  Dateien  Home", "     Dateien  Docs", "     blank  t",
                                              "     " + repeat("x", 199) + more + "  t",
                                              "     Dateien  Docs  #10"}));
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].winId, 5);
    EXPECT_EQ(sent[0].appName, "org.gnome.Nautilus");
    std::filesystem::remove_all(data);
}

}  // namespace
}  // namespace tarvolin
