// tarvolinctl switch on a private desktop, with stand-in menus that keep what they are
// given and answer a line the test chose.
#include "XTestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

extern char** environ;

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
        if (agent) {
            ::kill(agent->pid(), SIGTERM);
            auto status = agent->wait(10s);
            EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
        }
        fs::remove_all(dir);
    }

    struct Result {
        int status;
        std::string out;  // stdout and stderr
    };
    // The agent clears its pasteboard when it starts: it is up once it has taken a no-op command.
    std::unique_ptr<Process> startAgent() {
        Process::Options options;
        options.env = env;
        auto started = Process::spawn({TARVOLIN_AGENT}, options);
        EXPECT_EQ(ctl({"json", R"({"cmd":"barrier"})", "--force"}).status, 0);
        for (int i = 0; i < 500 && ctl({"pasteboard", "show"}).out.find('"') != std::string::npos; ++i)
            std::this_thread::sleep_for(10ms);
        return started;
    }

    Result ctl(std::vector<std::string> args, const std::vector<std::string>& extraEnv = {}) {
        args.insert(args.begin(), {"sh", "-c", "exec \"$0\" \"$@\" 2>&1", TARVOLINCTL});
        Process::Options options;
        options.env = env;
        options.env.insert(options.env.end(), extraEnv.begin(), extraEnv.end());
        options.pipeStdout = true;
        auto child = Process::spawn(args, options);
        std::string out;
        while (auto line = child->readLine(10s)) out += *line + "\n";
        auto status = child->wait(10s);
        return {status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1, out};
    }

    struct TerminalRun {
        int status = -1;  // tarvolinctl's exit code; 99 when it left the terminal to another group
        std::string out;  // all the terminal showed
    };
    // Runs tarvolinctl as a job-control shell on a terminal does: the session's leader waits
    // while tarvolinctl's own process group holds the terminal's foreground, then takes the
    // terminal back and stays (as a shell does) until `afterJob` has looked around.
    TerminalRun onTerminal(
        std::vector<std::string> args, const std::string& typed,
        const std::function<void()>& afterJob = [] {}) {
        TerminalRun result;
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        EXPECT_TRUE(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
        const std::string slave = ::ptsname(master);
        int done[2], release[2];
        EXPECT_TRUE(::pipe2(done, O_CLOEXEC) == 0 && ::pipe2(release, O_CLOEXEC) == 0);
        std::vector<std::string> command{"/usr/bin/env"};  // env(1) takes its options (-u) first
        for (const auto& v : env)
            if (v.find('=') == std::string::npos)
                command.insert(command.begin() + 1, {"-u", v});
            else
                command.push_back(v);
        command.push_back(TARVOLINCTL);
        args.insert(args.begin(), command.begin(), command.end());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        const pid_t session = ::fork();  // from here to exec, async-signal-safe calls only
        if (session == 0) {
            ::close(release[1]);
            ::setsid();
            const int tty = ::open(slave.c_str(), O_RDWR);  // becomes the controlling terminal
            if (tty < 0) ::_exit(97);
            for (int fd : {0, 1, 2}) ::dup2(tty, fd);
            const pid_t job = ::fork();
            if (job == 0) {
                ::setpgid(0, 0);
                ::signal(SIGTTOU, SIG_IGN);
                ::tcsetpgrp(0, ::getpid());
                ::signal(SIGTTOU, SIG_DFL);
                ::execve(argv[0], argv.data(), environ);
                ::_exit(127);
            }
            int status = 0;
            ::waitpid(job, &status, 0);
            const char code = static_cast<char>(::tcgetpgrp(0) != job ? 99
                                                : WIFEXITED(status)   ? WEXITSTATUS(status)
                                                                      : 98);
            ::signal(SIGTTOU, SIG_IGN);
            ::tcsetpgrp(0, ::getpgrp());
            ::write(done[1], &code, 1);
            ::read(release[0], &status, 1);  // until the test closes its end
            ::_exit(0);
        }
        ::close(done[1]);
        ::close(release[0]);
        EXPECT_EQ(::write(master, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
        pollfd finished{done[0], POLLIN, 0};
        char code = 0;
        if (::poll(&finished, 1, 30000) == 1 && ::read(done[0], &code, 1) == 1) {
            result.status = code;
        } else {
            ADD_FAILURE() << "still running on the terminal";
            ::kill(session, SIGKILL);  // its job, in a group now orphaned, gets a hangup
        }
        afterJob();
        pollfd shown{master, POLLIN, 0};  // little enough to wait in the terminal's buffer
        char buffer[4096];
        for (ssize_t n = 0; ::poll(&shown, 1, 0) == 1 && (n = ::read(master, buffer, sizeof buffer)) > 0;)
            result.out.append(buffer, static_cast<std::size_t>(n));
        ::close(release[1]);
        ::close(done[0]);
        ::close(master);  // hangs up on whatever is left
        int status = 0;
        if (::waitpid(session, &status, 0) != session) ADD_FAILURE() << "the session's leader is lost";
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
    agent = startAgent();
    std::ofstream(dir / "bin/rofi.answer") << "    Term  T U\n";
    const fs::path cache = dir / "cache/tarvolin", icons = cache / "icons";
    auto round = [&] {  // the icon file of the last line
        const auto list = nlohmann::json::parse(ctl({"windows", "--json"}).out);
        EXPECT_EQ(list.size(), 3u);
        const mode_t umask = ::umask(0);
        auto r = ctl({"switch"});
        ::umask(umask);
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(slurp(dir / "bin/rofi.args"), "-dmenu -i -show-icons\n");
        std::istringstream rows(slurp(dir / "bin/rofi.in"));
        std::string row, icon;
        for (const auto& e : list) {
            EXPECT_TRUE(std::getline(rows, row));
            std::string key = e["key"], title = e["title"];
            std::replace(title.begin(), title.end(), '\n', ' ');  // a title cannot split its line
            EXPECT_EQ(row.substr(0, row.find('\0')),  // the labels a column as wide as the longest
                      (key.empty() ? "  " : key) + "  " + std::string(e["appName"]) + "  " + title);
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
        {"", {}, 1, "", nullptr},
        {"no such window", {}, 1, "no window matches", nullptr},
        {"", {"--menu", "sleep 30", "--timeout", "1"}, 1, "no answer in time", nullptr},
        {"", {"--menu", ""}, 2, "rofi, wofi, fuzzel, bemenu or dmenu", nullptr},
        {"k1", {}, 0, "", [&] { return waitUntilActive(*x, high); }},
        {"k0", {"--action", "close"}, 0, "", [&] { return waitUntilGone(*x, low); }},
        {"    Term  T U",
         {"--action", "quit"},
         0,
         "",
         [&] { return waitUntilGone(*x, term->windows[0]) && x->x().managed(high); }},
        // The chosen window closes while the menu is open (its label is k0 once k0 has closed).
        {"",
         {"--menu", "cat >/dev/null; kill " + std::to_string(notes->pid()) + "; while '" + TARVOLINCTL +
                        "' windows | grep -q '^" + std::to_string(high) + " '; do sleep 0.1; done; echo k0"},
         1,
         "has closed or is now another window; nothing sent",
         nullptr},
    };
    // No agent: no menu either. An agent that takes nothing: the command is taken back.
    const std::string menu = "touch '" + (dir / "ran").string() + "'; cat >/dev/null; echo '    Term  T U'";
    auto r = ctl({"switch", "--menu", menu});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("systemctl --user start tarvolin-agent.service"), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(dir / "ran"));
    EXPECT_EQ(ctl({"pasteboard", "show"}).out, "change count 0, 0 item(s)\n");

    agent = startAgent();
    ASSERT_EQ(::kill(agent->pid(), SIGSTOP), 0);  // holds the lock, takes nothing
    r = ctl({"switch", "--menu", menu});
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

TEST_F(SwitchEndToEnd, TimeoutEndsTheWholeMenuWithOrWithoutATerminalAndATerminalMenuReadsKeys) {
    agent = startAgent();
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
    for (bool terminal : {false, true}) {
        SCOPED_TRACE(terminal ? "on a terminal" : "without one");
        fs::remove(pidFile);
        const int status = terminal ? onTerminal(slow, "", menuEnded).status : ctl(slow).status;
        EXPECT_EQ(status, 1);  // on a terminal, not 99: the terminal came back
        if (!terminal) menuEnded();
    }
    const auto typed =
        onTerminal({"switch", "--menu", "cat >/dev/null; head -n 1 </dev/tty"}, "    Term  T U\n");
    EXPECT_EQ(typed.status, 0) << typed.out;
    EXPECT_TRUE(waitUntilActive(*x, term->windows[0]));
}

}  // namespace
}  // namespace tarvolin::testing
