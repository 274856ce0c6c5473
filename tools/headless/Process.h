#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarvolin::headless {

using namespace std::chrono_literals;

// A child process in its own process group, stopped (SIGTERM, then SIGKILL) and reaped
// when destroyed. It dies with us (PR_SET_PDEATHSIG), so a crash leaves nothing behind.
class Process {
public:
    struct Options {
        std::vector<std::string> env;  // NAME=VALUE over ours; a bare NAME unsets it
        bool pipeStdin = false;
        bool pipeStdout = false;
        bool quiet = true;  // output to /dev/null unless TARVOLIN_HEADLESS_VERBOSE is set
        int inheritFd = -1;
    };
    static std::unique_ptr<Process> spawn(const std::vector<std::string>& argv, const Options& options);
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    // One line of its stdout without the newline; none on timeout or end of output.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout);
    bool writeLine(const std::string& line);
    // Its status (as from waitpid) once it has exited; none on timeout.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    bool running();
    void stop();

    // The exit code of a status from wait, or 128 + the signal that ended it.
    static int exitCode(int status);

private:
    Process() = default;
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1, pidfd_ = -1;
    std::string buffered_;
    bool reaped_ = false;
    int status_ = 0;
};

}  // namespace tarvolin::headless
