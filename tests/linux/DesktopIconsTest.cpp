// Desktop entries and icon files as hostile or changing files: what sits under their names
// must not stall or swamp the agent, and an app installed later gets its icon. An entry's
// name in the user's language.
#include "LinuxTestSupport.h"
#include "platform/linux/desktop/DesktopIcons.h"

#include <sys/stat.h>

#include <thread>

namespace tarvolin::desktop {
namespace {

namespace fs = std::filesystem;

// 2 x 2 pixels of red at half opacity.
const std::string kPng(
    "\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\0\x02\0\0\0\x02\x08\x06\0\0\0\x72\xb6\x0d\x24\0\0\0\x11"
    "IDAT\x78\x9c\x63\xf8\xcf\xc0\xd0\x00\xc2\x0c\x30\x06\x00\x38\xe8\x05\xfd\x11\x33\x30\xc9\0\0\0\0"
    "IEND\xae\x42\x60\x82",
    74);
constexpr std::uint32_t kRed = 0x80800000u;
// Opaque blue in the middle of a 64 x 64 picture: found at (16, 16) only when scaled down.
const std::string kSvg = R"(<svg xmlns="http://www.w3.org/2000/svg" width="64" height="64">
<rect x="24" y="24" width="16" height="16" fill="#00f"/></svg>)";
constexpr std::uint32_t kBlue = 0xff0000ffu;

struct TempData : test::TempDir {
    const fs::path dir = path();
    void write(const fs::path& rel, const std::string& bytes) const {
        fs::create_directories((dir / rel).parent_path());
        std::ofstream(dir / rel, std::ios::binary) << bytes;
    }
};

std::string entry(const std::string& icon, std::size_t size = 0) {
    std::string text = "[Desktop Entry]\nIcon=" + icon + "\n";
    if (size > text.size()) text += "#" + std::string(size - text.size() - 2, 'x') + "\n";
    return text;
}

// While a lookup may be blocked opening the FIFO at `path`, feeds it `bytes` so the lookup ends
// (with what a blocking read would have taken) instead of hanging the test.
std::jthread feedFifo(fs::path path, std::string bytes) {
    return std::jthread([path = std::move(path), bytes = std::move(bytes)](std::stop_token stop) {
        while (!stop.stop_requested()) {
            UniqueFd fd(::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));  // only with a reader
            if (fd) {
                ::fcntl(fd.get(), F_SETFL, 0);
                if (::write(fd.get(), bytes.data(), bytes.size()) < 0) return;
            }
            std::this_thread::sleep_for(5ms);
        }
    });
}

TEST(DesktopIcons, WhatSitsUnderAnEntrysOrIconsNameIsReadOnlyWhenARegularFileWithinTheCap) {
    TempData data;
    const fs::path fifo = data.dir / "pipe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    data.write("elsewhere.desktop", entry("app"));
    // A FIFO's rows carry what a reader stuck on it would get, so waiting shows as an icon.
    struct Row {
        const char* what;
        std::function<void()> entry, icon;  // the plain entry or icon file where none
        std::string fifoBytes;
        std::uint32_t pixel;
    };
    const std::string entryPath = "applications/app.desktop", iconPath = "icons/hicolor/32x32/apps/app.png";
    auto link = [&](const fs::path& target, const std::string& rel) {
        fs::create_directories((data.dir / rel).parent_path());
        fs::create_symlink(target, data.dir / rel);
    };
    auto entryAs = [&](const std::string& text) { return [&, text] { data.write(entryPath, text); }; };
    auto iconAs = [&](const std::string& bytes) { return [&, bytes] { data.write(iconPath, bytes); }; };
    const Row rows[] = {
        // Links are followed: desktops export their entries as links.
        {"entry as a link to a file", [&] { link(data.dir / "elsewhere.desktop", entryPath); }, {}, "", kRed},
        {"entry as a FIFO", [&] { link(fifo, entryPath); }, {}, entry("app"), 0},
        {"entry at the size cap", entryAs(entry("app", DesktopEntries::kMaxEntrySize)), {}, "", kRed},
        {"entry one byte over the cap", entryAs(entry("app", DesktopEntries::kMaxEntrySize + 1)), {}, "", 0},
        {"icon as a FIFO, a PNG at the next size",
         {},
         [&] {
             link(fifo, iconPath);
             data.write("icons/hicolor/48x48/apps/app.png", kPng);
         },
         kPng,
         kRed},
    };
    for (const Row& row : rows) {
        for (const char* sub : {"applications", "icons"}) fs::remove_all(data.dir / sub);
        row.entry ? row.entry() : entryAs(entry("app"))();
        row.icon ? row.icon() : iconAs(kPng)();
        auto feeder = feedFifo(fifo, row.fifoBytes);
        DesktopIcons icons({data.dir});
        Image icon = icons.iconFor("App");
        ASSERT_EQ(icon.pixelWidth(), DesktopIcons::kSide) << row.what;
        EXPECT_EQ(icon.pixel(16, 16), row.pixel) << row.what;
    }
}

TEST(DesktopIcons, TheEntrysIconFromTheNearestSizeOrABlankOne) {
    TempData data;
    data.write("icons/hicolor/48x48/apps/notes-icon.png", kPng);
    data.write("applications/Notes.desktop",
               "[Desktop Action x]\nIcon=other\n[Desktop Entry]\nIcon = notes-icon\nStartupWMClass=Pad\n");
    for (std::string app : {"draw", "both", "bad"})
        data.write("applications/" + app + ".desktop", entry(app));
    data.write("icons/hicolor/scalable/apps/draw.svg", kSvg);
    data.write("icons/hicolor/48x48/apps/both.svg", kSvg);
    data.write("icons/hicolor/48x48/apps/both.png", kPng);
    data.write("pixmaps/bad.svg", kSvg.substr(0, kSvg.size() - 6));  // no </svg>
    data.write("applications/abs.desktop",
               entry((data.dir / "icons/hicolor/scalable/apps/draw.svg").string()));
    // X11 windows' WM_CLASS, found as an entry's StartupWMClass=, exactly before case-insensitively.
    data.write("applications/org.term.desktop", "[Desktop Entry]\nStartupWMClass=Term\nIcon=notes-icon\n");
    data.write("applications/org.term2.desktop", "[Desktop Entry]\nStartupWMClass=TERM\nIcon=draw\n");
    DesktopIcons icons({data.dir});
    for (auto [app, pixel] : {std::pair<std::optional<std::string>, std::uint32_t>{"Notes", kRed},
                              {"draw", kBlue},
                              {"both", kRed},
                              {"bad", 0},
                              {"abs", kBlue},
                              {"Term", kRed},
                              {"TERM", kBlue},
                              {"pAD", kRed},
                              {"../applications/Notes", 0},
                              {std::nullopt, 0}}) {
        Image icon = icons.iconFor(app);
        ASSERT_EQ(icon.pixelWidth(), 32) << app.value_or("-");
        EXPECT_EQ(icon.pixel(16, 16), pixel) << app.value_or("-");
    }
    EXPECT_EQ(
        desktopEntryValue("Icon=ungrouped\n[Desktop Entry]\nIcon[de]=de\nIcons=x\nIcon=  a b \n", "Icon"),
        "a b");
}

TEST(DesktopIcons, AnAppInstalledAfterTheFirstLookupGetsItsIcon) {
    TempData home, system;
    system.write("applications/Other.desktop", entry("other"));
    system.write("icons/hicolor/48x48/apps/late.png", kPng);
    fs::create_directories(system.dir / "icons/hicolor/32x32/apps");
    fs::create_directories(system.dir / "pixmaps");
    fs::create_directories(home.dir / "icons");
    for (std::string app : {"pix", "sized", "themed"})
        system.write("applications/" + app + ".desktop", entry(app));
    DesktopIcons icons({home.dir, system.dir});
    // One change per step, each seen through a different watch: the app's icon is looked up
    // (and cached) just before, and the cache notices the change by itself.
    struct Step {
        const char* what;
        const char* app;
        std::function<void()> change;
        std::uint32_t before, after;
    };
    const Step steps[] = {
        {"an entry added", "Late", [&] { system.write("applications/Late.desktop", entry("late")); }, 0,
         kRed},
        {"a first local install", "Later",
         [&] {
             home.write("applications/Later.desktop", entry("later")), home.write("pixmaps/later.png", kPng);
         },
         0, kRed},
        {"an entry added to that new directory", "Latest",
         [&] { home.write("applications/Latest.desktop", entry("late")); }, 0, kRed},
        {"the icon of an entry read before", "Other",
         [&] { system.write("icons/hicolor/32x32/apps/other.png", kPng); }, 0, kRed},
        {"a pixmap added", "pix", [&] { system.write("pixmaps/pix.png", kPng); }, 0, kRed},
        {"a new size", "sized", [&] { system.write("icons/hicolor/64x64/apps/sized.png", kPng); }, 0, kRed},
        {"a new theme", "themed", [&] { home.write("icons/hicolor/32x32/apps/themed.png", kPng); }, 0, kRed},
        {"an entry removed", "Late", [&] { fs::remove(system.dir / "applications/Late.desktop"); }, kRed, 0},
    };
    for (const Step& step : steps) {
        EXPECT_EQ(icons.iconFor(step.app).pixel(16, 16), step.before) << step.what;
        step.change();
        EXPECT_EQ(icons.iconFor(step.app).pixel(16, 16), step.after) << step.what;
    }
}

// The first of Name[lang_COUNTRY@MODIFIER], Name[lang_COUNTRY], Name[lang@MODIFIER], Name[lang]
// and Name that is there, not empty and UTF-8, for $LC_ALL, else $LC_MESSAGES, else $LANG.
TEST(DesktopEntries, TheNameFollowsTheLocaleFromTheMostToTheLeastSpecific) {
    TempData data;
    data.write("applications/org.example.Files.desktop",
               "# Files\n[Desktop Action window]\nName[de]=Neues Fenster\n[Desktop Entry]\nName=Files\n"
               "Name[de]=Dateien\nName[de_CH]=Dateien (CH)\nName[de_AT@euro]=Dateien (AT, Euro)\n"
               "Name[sr_RS]=Datoteke (RS)\nName[sr@latin]=Datoteke\nName[pt_BR]=Arquivos\nName[fr]=\n"
               "Name[es]=\\sMis\\sarchivos\\\\\\n\\tya\\r\nName[it]=File\xff\nStartupWMClass=FilesWin\n");
    DesktopEntries entries({data.dir});
    struct Case {
        std::string lcAll, lcMessages, lang;
        std::string name;
    } cases[] = {
        {"", "", "de_CH.UTF-8", "Dateien (CH)"},
        {"", "", "de_AT.UTF-8@euro", "Dateien (AT, Euro)"},
        {"", "", "de_DE@euro", "Dateien"},
        {"", "", "sr_RS@latin", "Datoteke (RS)"},  // the country before the modifier
        {"", "", "sr_ME.UTF-8@latin", "Datoteke"},
        {"", "", "pt", "Files"},           // no other country's name for the language
        {"", "", "fr_FR.UTF-8", "Files"},  // empty
        {"", "", "it_IT.UTF-8", "Files"},  // not UTF-8
        {"", "", "es_ES.UTF-8", " Mis archivos\\\n\tya\r"},
        {"de_CH", "fr", "pt", "Dateien (CH)"},
        {"", "de", "fr", "Dateien"},
    };
    for (const Case& c : cases) {
        test::ScopedEnv all("LC_ALL", c.lcAll), messages("LC_MESSAGES", c.lcMessages), lang("LANG", c.lang);
        EXPECT_EQ(entries.nameFor("org.example.Files", messagesLocale()), c.name)
            << c.lcAll << "/" << c.lcMessages << "/" << c.lang;
    }
    EXPECT_EQ(entries.nameFor("fileswin", "de"), "Dateien");  // found as the icons are
    EXPECT_EQ(entries.nameFor("org.example.Other", "de"), std::nullopt);
}

// No name where the entry has none of its own, or is not a key file (as GNOME reads them).
TEST(DesktopEntries, NoNameFromAnEntryWithoutOneOrThatIsNotAKeyFile) {
    for (const char* text : {"[Desktop Entry]\nIcon=files\n", "[Desktop Action x]\nName=Action\n",
                             "[Desktop Entry]\nName=Files\nnot a key\n", "Name=Files\n[Desktop Entry]\n",
                             "[Desktop Entry]\nName=\n", "[Desktop Entry]\nName=\xC0\xAF\n", ""})
        EXPECT_EQ(desktopEntryName(text, "de_DE.UTF-8"), std::nullopt) << text;
    const std::string longName(DesktopEntries::kMaxEntrySize - 30, 'x');
    EXPECT_EQ(desktopEntryName("[Desktop Entry]\nName=" + longName + "\n", ""), longName);
}

// The user's own entries: under $XDG_DATA_HOME, or ~/.local/share when it is empty or unset.
TEST(DesktopIcons, TheUsersOwnEntriesAreFoundWithOrWithoutXdgDataHome) {
    TempData home;
    home.write(".local/share/applications/mine.desktop", entry("mine"));
    home.write(".local/share/pixmaps/mine.png", kPng);
    for (bool xdg : {false, true}) {
        test::ScopedEnv data("XDG_DATA_HOME", xdg ? (home.dir / ".local/share").string() : "");
        test::ScopedEnv user("HOME", xdg ? "/nonexistent" : home.dir.string());
        EXPECT_EQ(DesktopIcons().iconFor("mine").pixel(16, 16), kRed) << xdg;
    }
}

}  // namespace
}  // namespace tarvolin::desktop
