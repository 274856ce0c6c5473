#pragma once

// tarvolinctl and the agent run as a user would, and a real menu program watched as it is
// driven, for the end-to-end tests on either desktop.
#include "tools/headless/Process.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace tarvolin::testing {

using namespace std::chrono_literals;

struct RunResult {
    int status;  // its exit code, -1 if it did not exit
    std::string out;
};

// argv with its stderr joined to its stdout.
inline std::unique_ptr<headless::Process> spawnJoined(std::vector<std::string> argv,
                                                      const std::vector<std::string>& env) {
    argv.insert(argv.begin(), {"sh", "-c", "exec \"$0\" \"$@\" 2>&1"});
    return headless::Process::spawn(argv, {env, false, true});
}

inline RunResult finish(headless::Process& p, std::chrono::seconds timeout = 10s) {
    std::string out;
    while (auto line = p.readLine(timeout)) out += *line + "\n";
    auto status = p.wait(10s);
    return {status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1, out};
}

inline RunResult ctl(std::vector<std::string> args, const std::vector<std::string>& env) {
    args.insert(args.begin(), TARVOLINCTL);
    return finish(*spawnJoined(args, env));
}

inline bool waitFor(const std::function<bool()>& done, std::chrono::seconds deadline = 10s) {
    for (auto end = std::chrono::steady_clock::now() + deadline; std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(10ms))
        if (done()) return true;
    return false;
}

// The agent the tests start: $TARVOLIN_TEST_AGENT (a package's, for its test), else this build's.
inline std::string agentProgram() {
    const char* other = std::getenv("TARVOLIN_TEST_AGENT");
    return other && *other ? other : TARVOLIN_AGENT;
}

inline void startAgent(const std::vector<std::string>& env, std::unique_ptr<headless::Process>& agent) {
    agent = headless::Process::spawn({agentProgram()}, {env});
    // A command that does nothing, taken: the agent is up and has acted on all before it.
    ASSERT_EQ(ctl({"json", R"({"cmd":"barrier"})", "--force"}, env).status, 0);
    ASSERT_TRUE(waitFor([&] { return ctl({"pasteboard", "show"}, env).out.find('"') == std::string::npos; }));
}

inline void stopAgent(headless::Process* agent) {
    if (!agent) return;
    ::kill(agent->pid(), SIGTERM);
    auto status = agent->wait(10s);
    EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
}

// Started in this order, the last in front: the labelled windows behind every row that holds
// their label (a title, an application name, a longer label).
inline const std::pair<const char*, const char*> kMenuApps[] = {
    {"one", "one"}, {"ten", "ten"}, {"two", "see n1"}, {"n1app", "x"}, {"term", "build n1"}};

// Labels the first three (the rows' order is checked by expectMenuRows).
inline void labelMenuApps(const std::vector<std::string>& env) {
    for (auto [app, label] : {std::pair{"one", "n1"}, {"ten", "n10"}, {"two", "n2"}})
        ASSERT_EQ(ctl({"keys", "set", app, label}, env).status, 0);
}

// The menu alone on the PATH, so that tarvolinctl picks it from its own list, arguments and
// all; it keeps a copy of the rows it is given.
inline void installMenu(const std::filesystem::path& bin, const std::string& program) {
    std::filesystem::create_directories(bin);
    std::ofstream(bin / program) << "#!/bin/sh\n/usr/bin/tee \"$0.in\" | exec /usr/bin/" << program
                                 << " \"$@\"\n";
    std::filesystem::permissions(bin / program, std::filesystem::perms::owner_all);
    std::filesystem::create_symlink("/bin/sh", bin / "sh");
}

// The labels a column, n1's row just before the first that holds n1, the rest in order.
inline void expectMenuRows(const std::filesystem::path& bin, const std::string& program, bool cutAtNul) {
    std::ifstream in(bin / (program + ".in"));
    std::vector<std::string> rows;
    for (std::string row; std::getline(in, row);)
        rows.push_back(cutAtNul ? row.substr(0, row.find('\0')) : row);
    EXPECT_EQ(rows, (std::vector<std::string>{"n1   one  one", "     term  build n1", "     n1app  x",
                                              "n2   two  see n1", "n10  ten  ten"}));
}

}  // namespace tarvolin::testing
