#pragma once

#include "platform/SystemLog.h"
#include "platform/linux/LinuxRunLoop.h"
#include "platform/linux/UniqueFd.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tarvolin::test {

// A fresh directory under the system's temp dir, removed with everything in it.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tarvolin-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ec);
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Sets an environment variable for the scope, restoring the old value.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value)
            ::setenv(name, value->c_str(), 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_)
            ::setenv(name_.c_str(), old_->c_str(), 1);
        else
            ::unsetenv(name_.c_str());
    }

private:
    std::string name_;
    std::optional<std::string> old_;
};

class RecordingLog final : public SystemLog {
public:
    void log(std::string_view line) override {
        std::lock_guard lock(mutex_);
        lines_.emplace_back(line);
    }
    std::vector<std::string> lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

// A child process running `body`; its exit status is body's result. Killed if still running at the end.
class Child {
public:
    explicit Child(const std::function<int()>& body) {
        pid_ = ::fork();
        if (pid_ == 0) {
            int code = 99;
            try {
                code = body();
            } catch (...) {
                code = 98;
            }
            ::_exit(code);
        }
    }
    ~Child() {
        if (pid_ > 0 && !waited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    pid_t pid() const { return pid_; }
    // The exit code, or 128 + signal.
    int wait() {
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        waited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    pid_t pid_ = -1;
    bool waited_ = false;
};

// A pipe for one-way handshakes between processes.
struct Pipe {
    UniqueFd read, write;
    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        read.reset(fds[0]);
        write.reset(fds[1]);
    }
    void send(std::string_view text) const {
        if (::write(write.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            throw std::runtime_error("pipe write failed");
    }
    // Blocks until a line arrives (or the writer closes: then what came so far).
    std::string receiveLine() const {
        std::string line;
        char c;
        while (::read(read.get(), &c, 1) == 1 && c != '\n') line.push_back(c);
        return line;
    }
};

// Runs the loop until `done` holds (checked after every loop iteration wake-up through a
// 1 ms poll) or the generous deadline passes; true when `done` held. The deadline only
// stops a broken test from hanging.
inline bool runLoopUntil(LinuxRunLoop& loop, const std::function<bool()>& done,
                         std::chrono::seconds deadline = std::chrono::seconds(20)) {
    if (done()) return true;
    // A one-shot check that re-arms itself while this call is alive; a leftover check that
    // fires in a later run finds the flag down and touches nothing.
    struct State {
        bool alive = true;
        bool met = false;
        std::function<void()> check;
    };
    auto state = std::make_shared<State>();
    auto end = std::chrono::steady_clock::now() + deadline;
    std::weak_ptr<State> weak = state;
    state->check = [&loop, &done, end, weak] {
        auto s = weak.lock();
        if (!s || !s->alive) return;
        if (done()) {
            s->met = true;
            loop.exit(0);
        } else if (std::chrono::steady_clock::now() > end) {
            loop.exit(1);
        } else {
            loop.dispatchAfter(std::chrono::milliseconds(1), s->check);
        }
    };
    loop.dispatchAfter(std::chrono::milliseconds(1), state->check);
    loop.run();
    state->alive = false;
    bool met = state->met;
    state->check = nullptr;  // breaks the cycle through the pending copies
    return met;
}

// A server program started with `args`, where "{fd}" stands for a descriptor on which it reports
// one line once ready (the bus address, the display number); stopped at the end.
class ReportingDaemon {
public:
    explicit ReportingDaemon(std::vector<std::string> args) {
        Pipe report;
        const std::string fd = std::to_string(report.write.get());
        std::vector<char*> argv;
        for (auto& arg : args) {
            if (auto at = arg.find("{fd}"); at != std::string::npos) arg.replace(at, 4, fd);
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlive a crashed test
            ::fcntl(report.write.get(), F_SETFD, 0);
            int devnull = ::open("/dev/null", O_WRONLY);
            ::dup2(devnull, 2);
            ::execvp(argv[0], argv.data());
            ::_exit(127);
        }
        report.write.reset();
        line_ = report.receiveLine();
    }
    ~ReportingDaemon() { stop(); }
    void stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }
    bool ok() const { return !line_.empty(); }

protected:
    pid_t pid_ = -1;
    std::string line_;
};

// A private D-Bus daemon (session configuration).
class PrivateBus : public ReportingDaemon {
public:
    PrivateBus()
        : ReportingDaemon({"dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address={fd}"}) {}
    const std::string& address() const { return line_; }
};

// Readable and single-line, for failure messages.
inline std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c < 0x20 || c >= 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}
// An Xvfb server on a free display number.
class VirtualDisplay : public ReportingDaemon {
public:
    VirtualDisplay()
        : ReportingDaemon({"Xvfb", "-displayfd", "{fd}", "-nolisten", "tcp", "-screen", "0", "640x480x24"}),
          name_(ok() ? ":" + line_ : "") {}
    const std::string& name() const { return name_; }

private:
    std::string name_;
};
}  // namespace tarvolin::test
