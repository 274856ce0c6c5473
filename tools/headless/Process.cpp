#include "tools/headless/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <iterator>

extern char** environ;

namespace tarvolin::headless {

namespace {

int remainingMs(std::chrono::steady_clock::time_point deadline) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::clamp<long long>(left.count(), 0, 60000));
}

std::string nameOf(const std::string& entry) { return entry.substr(0, entry.find('=')); }

}  // namespace

std::unique_ptr<Process> Process::spawn(const std::vector<std::string>& argv, const Options& options) {
    if (argv.empty()) return nullptr;
    int in[2] = {-1, -1}, out[2] = {-1, -1};
    if (options.pipeStdin && pipe2(in, O_CLOEXEC) != 0) return nullptr;
    if (options.pipeStdout && pipe2(out, O_CLOEXEC) != 0) {
        if (in[0] >= 0) close(in[0]), close(in[1]);
        return nullptr;
    }
    // Everything is prepared before fork: the child only calls async-signal-safe functions.
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string name = nameOf(*e);
        if (std::none_of(options.env.begin(), options.env.end(), [&](auto& o) { return nameOf(o) == name; }))
            env.push_back(*e);
    }
    std::copy_if(options.env.begin(), options.env.end(), std::back_inserter(env),
                 [](const std::string& o) { return o.find('=') != std::string::npos; });
    std::vector<std::string> args = argv;
    std::vector<char*> envp, argp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    for (auto& a : args) argp.push_back(a.data());
    argp.push_back(nullptr);
    const bool quiet = options.quiet && !std::getenv("TARVOLIN_HEADLESS_VERBOSE");

    // A child that exits early closes its stdin: writing to it must not kill us.
    signal(SIGPIPE, SIG_IGN);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) return nullptr;
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        if (options.pipeStdin) dup2(in[0], STDIN_FILENO);
        if (options.pipeStdout) dup2(out[1], STDOUT_FILENO);
        if (quiet) {
            int devnull = open("/dev/null", O_WRONLY);
            if (devnull >= 0 && !options.pipeStdout) dup2(devnull, STDOUT_FILENO);
            if (devnull >= 0) dup2(devnull, STDERR_FILENO);
        }
        if (options.inheritFd >= 0) fcntl(options.inheritFd, F_SETFD, 0);
        setpgid(0, 0);  // its own group: a signal to ours leaves it alone, and stop() reaches its children
        execvpe(argp[0], argp.data(), envp.data());
        _exit(127);
    }
    setpgid(pid, pid);  // also here, so the group exists before anyone signals it
    std::unique_ptr<Process> process(new Process());
    process->pid_ = pid;
    if (options.pipeStdin) close(in[0]), process->in_ = in[1];
    if (options.pipeStdout) close(out[1]), process->out_ = out[0];
    process->pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    return process;
}

Process::~Process() {
    stop();
    for (int fd : {in_, out_, pidfd_})
        if (fd >= 0) close(fd);
}

std::optional<std::string> Process::readLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (auto nl = buffered_.find('\n'); nl != std::string::npos) {
            std::string line = buffered_.substr(0, nl);
            buffered_.erase(0, nl + 1);
            return line;
        }
        if (out_ < 0) return std::nullopt;
        pollfd p{out_, POLLIN, 0};
        int r = poll(&p, 1, remainingMs(deadline));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return std::nullopt;
        char buf[4096];
        ssize_t n = read(out_, buf, sizeof buf);
        if (n <= 0) return std::nullopt;
        buffered_.append(buf, static_cast<size_t>(n));
    }
}

bool Process::writeLine(const std::string& line) {
    const std::string text = line + "\n";
    return in_ >= 0 && write(in_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

std::optional<int> Process::wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!reaped_) {
        pid_t r = waitpid(pid_, &status_, WNOHANG);
        if (r == pid_) reaped_ = true;
        if (reaped_ || (r < 0 && errno != EINTR) || std::chrono::steady_clock::now() >= deadline) break;
        if (pidfd_ >= 0) {
            pollfd p{pidfd_, POLLIN, 0};
            poll(&p, 1, remainingMs(deadline));
        } else {
            usleep(2000);  // without pidfds, looking again shortly is the only wait with a deadline
        }
    }
    return reaped_ ? std::optional<int>(status_) : std::nullopt;
}

bool Process::running() { return !reaped_ && !wait(0ms); }

void Process::stop() {
    if (reaped_ || pid_ <= 0) return;
    kill(-pid_, SIGTERM);
    if (!wait(5s)) {
        kill(-pid_, SIGKILL);
        wait(5s);
    }
}

int Process::exitCode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

}  // namespace tarvolin::headless
