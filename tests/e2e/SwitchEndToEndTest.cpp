// tarvolinctl switch on a private desktop, with stand-in menus that keep what they are
// given and answer a line the test chose.
#include "MenuTestSupport.h"
#include "XTestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <thread>

namespace tarvolin::testing {
namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Alive and not a zombie (one left to a parent that does not reap is dead all the same).
bool alive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    return std::getline(stat, line) && line.substr(line.rfind(')') + 2, 1) != "Z";
}

struct stat statOf(const fs::path& file) {
    struct stat st {};
    ::lstat(file.c_str(), &st);
    return st;
}

class SwitchEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        x = XvfbDesktop::start({}, error);
        ASSERT_TRUE(x) << error;
        const std::string d = dir.string();
        for (const char* sub : {"", "/bin", "/run"}) ::mkdir((d + sub).c_str(), 0700);
        std::ofstream(d + "/bin/rofi")
            << "#!/bin/sh\necho \"$*\" >\"$0.args\"; cat >\"$0.in\"; cat \"$0.answer\"\n";
        fs::permissions(d + "/bin/rofi", fs::perms::owner_all);
        env = x->environment();
        env.insert(env.end(), {"XDG_RUNTIME_DIR=" + d + "/run", "XDG_CONFIG_HOME=" + d + "/config",
                               "XDG_CACHE_HOME=" + d + "/cache", "PATH=" + d + "/bin:/usr/bin:/bin"});
        notes = startClient(*x,
                            {{"--title", "A", "--class", "notes:Notes", "--icon", "16x16:ff3366cc"},
                             {"--title", "B", "--class", "notes:Notes", "--icon", "16x16:ff3366cc"}},
                            error);
        term =
            startClient(*x, {{"--title", "T\nU", "--class", "term:Term", "--icon", "48x48:80202020"}}, error);
        ASSERT_TRUE(notes && term) << error;
        ASSERT_EQ(ctl({"keys", "set", "Notes", "k0", "k1"}).status, 0);
    }

    void TearDown() override {
        stopAgent(agent.get());
        fs::remove_all(dir);
    }

    RunResult ctl(std::vector<std::string> args, const std::vector<std::string>& extraEnv = {}) {
        auto withExtra = env;
        withExtra.insert(withExtra.end(), extraEnv.begin(), extraEnv.end());
        return testing::ctl(std::move(args), withExtra);
    }

    struct TerminalRun {
        int status = -1;  // tarvolinctl's exit code; 99 when it left the terminal to another group
        std::string out;  // all the terminal showed
    };
    // Runs tarvolinctl in the foreground of a new terminal under a shell that leads the session,
    // says how it ended and stays (keeping the terminal) until `afterJob` has looked around.
    TerminalRun onTerminal(
        std::vector<std::string> args, const std::string& typed,
        const std::function<void()>& afterJob = [] {}) {
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        EXPECT_TRUE(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
        // Fields 5 and 8 of the shell's stat: its group and the terminal's foreground group.
        const std::string shell =
            "\"$@\"; s=$?; set -- $(cat /proc/$$/stat); [ $5 = $8 ] || s=99; "
            "echo \"exit code $s.\"; read _";
        args.insert(args.begin(), {"sh", "-c",
                                   "exec setsid -wc sh -c \"$0\" sh \"$@\" <>" +
                                       std::string(::ptsname(master)) + " >&0 2>&0",
                                   shell, TARVOLINCTL});
        Process::Options options;
        options.env = env;
        auto session = Process::spawn(args, options);
        EXPECT_EQ(::write(master, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
        TerminalRun result;
        std::smatch ended;
        pollfd shown{master, POLLIN, 0};
        char buffer[4096];
        for (ssize_t n = 0; !std::regex_search(result.out, ended, std::regex("exit code (\\d+)\\.")) &&
                            ::poll(&shown, 1, 30000) == 1 && (n = ::read(master, buffer, sizeof buffer)) > 0;)
            result.out.append(buffer, static_cast<std::size_t>(n));
        if (ended.empty())
            ADD_FAILURE() << "still running on the terminal: " << result.out;
        else
            result.status = std::stoi(ended[1]);
        afterJob();
        EXPECT_EQ(::write(master, "\n", 1), 1);  // lets the shell end
        EXPECT_TRUE(session->wait(10s));
        ::close(master);  // hangs up on whatever is left
        return result;
    }

    fs::path dir = fs::temp_directory_path() / ("tarvolin-switch-" + std::to_string(::getpid()));
    std::unique_ptr<XvfbDesktop> x;
    std::unique_ptr<Process> agent;
    std::vector<std::string> env;
    std::optional<TestClient> notes, term;
};

// The icon cache stays private whatever the umask, also once its modes are loosened and a
// link is planted in it; unchanged icons are not written again.
TEST_F(SwitchEndToEnd, RofiGetsTheInventoryWithPrivateIconsAndTheChoiceIsRaised) {
    ASSERT_NO_FATAL_FAILURE(startAgent(env, agent));
    std::ofstream(dir / "bin/rofi.answer") << "    Term  T U\n";
    const fs::path cache = dir / "cache/tarvolin", icons = cache / "icons";
    auto round = [&] {  // the icon file of the last line
        const auto list = nlohmann::json::parse(ctl({"windows", "--json"}).out);
        const mode_t umask = ::umask(0);
        auto r = ctl({"switch"});
        ::umask(umask);
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(slurp(dir / "bin/rofi.args"), "-dmenu -i -show-icons\n");
        std::istringstream rows(slurp(dir / "bin/rofi.in"));
        std::string row, icon;
        for (const auto& e : list) {
            EXPECT_TRUE(std::getline(rows, row));
            EXPECT_NE(row.find(std::string(e["appName"])), std::string::npos) << row;  // in the agent's order
            const std::string option = row.substr(row.find('\0') + 1);
            EXPECT_EQ(option.rfind("icon\x1f", 0), 0u) << option;
            icon = option.substr(5);
            EXPECT_EQ(slurp(icon).substr(0, 24),
                      std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\x20\0\0\0\x20", 24));
        }
        EXPECT_FALSE(std::getline(rows, row));
        EXPECT_EQ(statOf(cache).st_mode & 07777, 0700u);
        EXPECT_EQ(statOf(icons).st_mode & 07777, 0700u);
        int files = 0;
        for (const auto& entry : fs::directory_iterator(icons)) {
            EXPECT_TRUE(entry.is_regular_file() && !entry.is_symlink()) << entry.path();
            EXPECT_EQ(statOf(entry.path()).st_mode & 022, 0u) << entry.path();
            ++files;
        }
        EXPECT_EQ(files, 2);  // Notes and Term
        EXPECT_TRUE(waitUntilActive(*x, term->windows[0]));
        return icon;
    };
    const std::string icon = round();
    const ino_t inode = statOf(icon).st_ino;
    ASSERT_EQ(ctl({"raise", std::to_string(notes->windows[0])}).status, 0);
    ASSERT_TRUE(waitUntilActive(*x, notes->windows[0]));
    EXPECT_EQ(round(), icon);
    EXPECT_EQ(statOf(icon).st_ino, inode);
    fs::permissions(cache, fs::perms::all);
    for (const auto& entry : fs::recursive_directory_iterator(cache)) fs::permissions(entry, fs::perms::all);
    fs::create_symlink("/etc/passwd", icons / "planted.png");
    round();
}

TEST_F(SwitchEndToEnd, ActionsOnTheChosenTargetAndAnswersOrAgentsThatSendNothing) {
    const auto low = std::min(notes->windows[0], notes->windows[1]);
    const auto high = std::max(notes->windows[0], notes->windows[1]);
    const std::string plainInput = (dir / "plain.in").string();
    struct Case {
        std::string answer;
        std::vector<std::string> args;
        int status;
        std::string said;
        std::function<bool()> done;  // waits for the action; none: nothing may be sent
    } cases[] = {
        {"", {"--menu", ""}, 2, "rofi, wofi, fuzzel, bemenu or dmenu", nullptr},
        {"k0", {"--action", "close"}, 0, "", [&] { return waitUntilGone(*x, low); }},
        {"    Term  T U",
         {"--action", "quit"},
         0,
         "",
         [&] { return waitUntilGone(*x, term->windows[0]) && x->x().managed(high); }},
    };
    // An agent that takes nothing: the command is taken back.
    const std::string menu = "touch '" + (dir / "ran").string() + "'; cat >/dev/null; echo '    Term  T U'";
    ASSERT_NO_FATAL_FAILURE(startAgent(env, agent));
    ASSERT_EQ(::kill(agent->pid(), SIGSTOP), 0);  // holds the lock, takes nothing
    auto r = ctl({"switch", "--menu", menu});
    ::kill(agent->pid(), SIGCONT);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("took it back, nothing sent"), std::string::npos) << r.out;
    EXPECT_TRUE(fs::exists(dir / "ran"));
    EXPECT_NE(ctl({"pasteboard", "show"}).out.find(", 0 item(s)\n"), std::string::npos);

    for (auto& c : cases) {
        SCOPED_TRACE(c.answer);
        std::vector<std::string> args{"switch"};
        if (c.args.empty() || c.args[0] != "--menu")
            args.insert(args.end(), {"--menu", "cat >" + plainInput + "; printf '%s\\n' '" + c.answer + "'"});
        args.insert(args.end(), c.args.begin(), c.args.end());
        r = ctl(args,
                c.status == 2 ? std::vector<std::string>{"PATH=/nonexistent"} : std::vector<std::string>{});
        EXPECT_EQ(r.status, c.status) << r.out;
        EXPECT_NE(r.out.find(c.said), std::string::npos) << r.out;
        if (c.done) {
            EXPECT_TRUE(c.done());
            EXPECT_EQ(slurp(plainInput).find('\0'), std::string::npos);  // no icons for other menus
        } else {
            EXPECT_NE(ctl({"pasteboard", "show"}).out.find(", 0 item(s)\n"), std::string::npos);
        }
    }
}

TEST_F(SwitchEndToEnd, TimeoutEndsTheWholeMenuAndGivesTheTerminalBackAndATerminalMenuReadsKeys) {
    ASSERT_NO_FATAL_FAILURE(startAgent(env, agent));
    const fs::path pidFile = dir / "sleep.pid";
    const std::vector<std::string> slow{
        "switch", "--timeout", "1", "--menu",
        "cat >/dev/null; sleep 300 & echo $! >'" + pidFile.string() + "'; wait"};
    auto menuEnded = [&] {  // while the terminal is still open: a hangup would end it anyway
        pid_t sleeper = 0;
        std::ifstream(pidFile) >> sleeper;
        ASSERT_GT(sleeper, 0);
        for (int i = 0; i < 200 && alive(sleeper); ++i) std::this_thread::sleep_for(10ms);
        EXPECT_FALSE(alive(sleeper));
        if (alive(sleeper)) ::kill(sleeper, SIGKILL);
    };
    // Without a terminal the menu's group is ended the same way, less the terminal's return.
    EXPECT_EQ(onTerminal(slow, "", menuEnded).status, 1);  // not 99: the terminal came back
    const auto typed =
        onTerminal({"switch", "--menu", "cat >/dev/null; head -n 1 </dev/tty"}, "    Term  T U\n");
    EXPECT_EQ(typed.status, 0) << typed.out;
    EXPECT_TRUE(waitUntilActive(*x, term->windows[0]));
}

}  // namespace
}  // namespace tarvolin::testing
