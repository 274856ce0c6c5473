// tarvolinctl switch on a private desktop, with stand-in menus that keep what they are
// given and answer a line the test chose.
#include "XTestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

namespace tarvolin::testing {
namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
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

    fs::path dir = fs::temp_directory_path() / ("tarvolin-switch-" + std::to_string(::getpid()));
    std::unique_ptr<XvfbDesktop> x;
    std::unique_ptr<Process> agent;
    std::vector<std::string> env;
    std::optional<TestClient> notes, term;
};

TEST_F(SwitchEndToEnd, RofiGetsTheInventoryWithIconsAndTheChoiceIsRaised) {
    agent = startAgent();
    std::ofstream(dir / "bin/rofi.answer") << "    Term  T U\n";
    auto round = [&] {  // the icon file of the last line
        const auto list = nlohmann::json::parse(ctl({"windows", "--json"}).out);
        EXPECT_EQ(list.size(), 3u);
        auto r = ctl({"switch"});
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
            const std::string png = slurp(icon);
            EXPECT_EQ(png.substr(0, 24),
                      std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\x20\0\0\0\x20", 24));
        }
        EXPECT_FALSE(std::getline(rows, row));
        EXPECT_TRUE(waitUntilActive(*x, term->windows[0]));
        return icon;
    };
    const std::string icon = round();
    struct stat first {
    }, second{};
    ASSERT_EQ(::stat(icon.c_str(), &first), 0);
    ASSERT_EQ(ctl({"raise", std::to_string(notes->windows[0])}).status, 0);
    ASSERT_TRUE(waitUntilActive(*x, notes->windows[0]));
    EXPECT_EQ(round(), icon);
    ASSERT_EQ(::stat(icon.c_str(), &second), 0);
    EXPECT_EQ(first.st_ino, second.st_ino);  // unchanged icons are not written again
}

TEST_F(SwitchEndToEnd, ActionsOnTheChosenTargetAndAnswersThatSendNothing) {
    const auto low = std::min(notes->windows[0], notes->windows[1]);
    const auto high = std::max(notes->windows[0], notes->windows[1]);
    const std::string plainInput = (dir / "plain.in").string();
    struct Case {
        std::string answer;
        std::vector<std::string> args;
        int status;
        std::string said;
        std::function<bool()> done;  // none: nothing may be sent
    } cases[] = {
        {"", {}, 1, "", nullptr},
        {"no such window", {}, 1, "no window matches", nullptr},
        {"", {"--menu", "sleep 30", "--timeout", "1"}, 1, "no answer in time", nullptr},
        {"", {"--menu", ""}, 2, "rofi, wofi, fuzzel, bemenu or dmenu", nullptr},
        {"k1",
         {},
         0,
         "",
         [&] { return x->x().cardinals(x->x().root(), "_NET_ACTIVE_WINDOW") == std::vector{high}; }},
        {"k0", {"--action", "close"}, 0, "", [&] { return !x->x().managed(low); }},
        {"    Term  T U",
         {"--action", "quit"},
         0,
         "",
         [&] { return !x->x().managed(term->windows[0]) && x->x().managed(high); }},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.answer);
        if (c.done && !agent) agent = startAgent();
        std::vector<std::string> args{"switch"};
        if (c.args.empty() || c.args[0] != "--menu")
            args.insert(args.end(), {"--menu", "cat >" + plainInput + "; printf '%s\\n' '" + c.answer + "'"});
        args.insert(args.end(), c.args.begin(), c.args.end());
        auto r = ctl(
            args, c.status == 2 ? std::vector<std::string>{"PATH=/nonexistent"} : std::vector<std::string>{});
        EXPECT_EQ(r.status, c.status) << r.out;
        EXPECT_NE(r.out.find(c.said), std::string::npos) << r.out;
        if (c.done) {
            EXPECT_TRUE(x->x().waitFor(c.done));
            EXPECT_EQ(slurp(plainInput).find('\0'), std::string::npos);  // no icons for other menus
        } else {
            EXPECT_EQ(ctl({"pasteboard", "show"}).out, "change count 0, 0 item(s)\n");
        }
    }
}

}  // namespace
}  // namespace tarvolin::testing
