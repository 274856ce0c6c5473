#pragma once

#include "platform/SystemLog.h"
#include "platform/linux/session/LinuxRunLoop.h"
#include "platform/linux/session/UniqueFd.h"
#include "tools/headless/Desktop.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace tarvolin {
using namespace std::chrono_literals;
}  // namespace tarvolin

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
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Replaces `file` with one holding `bytes`, with the given permissions.
inline void plant(const std::filesystem::path& file, const std::string& bytes,
                  std::filesystem::perms mode = std::filesystem::perms::owner_read |
                                                std::filesystem::perms::owner_write) {
    std::filesystem::remove(file);
    std::ofstream(file, std::ios::binary) << bytes;
    std::filesystem::permissions(file, mode);
}

inline std::string contents(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Sets an environment variable for the scope, restoring the old value.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() { old_ ? ::setenv(name_.c_str(), old_->c_str(), 1) : ::unsetenv(name_.c_str()); }

private:
    std::string name_;
    std::optional<std::string> old_;
};

struct RecordingLog final : SystemLog {
    std::vector<std::string> lines;
    void log(std::string_view line) override { lines.emplace_back(line); }
};

// Another process running `body`; its exit code is body's result. Killed if still running at the end.
class Child {
public:
    explicit Child(const std::function<int()>& body) {
        if ((pid_ = ::fork()) != 0) return;
        int code = 98;
        try {
            code = body();
        } catch (...) {
        }
        ::_exit(code);
    }
    ~Child() {
        if (pid_ > 0 && !waited_) ::kill(pid_, SIGKILL), ::waitpid(pid_, nullptr, 0);
    }
    // The exit code, or 128 + signal.
    int wait() {
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        waited_ = true;
        return headless::Process::exitCode(status);
    }

private:
    pid_t pid_ = -1;
    bool waited_ = false;
};

// Runs the loop until `done` holds, checked every millisecond; false when the generous
// deadline (there only so a broken test cannot hang) passes first.
inline bool runLoopUntil(LinuxRunLoop& loop, const std::function<bool()>& done) {
    if (done()) return true;
    // The check re-arms itself while this call is alive; a leftover copy that fires in a
    // later run finds it gone and touches nothing.
    auto check = std::make_shared<std::function<void()>>();
    const auto end = std::chrono::steady_clock::now() + 20s;
    bool met = false;
    std::weak_ptr<std::function<void()>> weak = check;
    *check = [&, end, weak] {
        if (weak.expired()) return;
        if ((met = done()) || std::chrono::steady_clock::now() > end) return loop.exit(0);
        loop.dispatchAfter(1ms, *weak.lock());
    };
    loop.dispatchAfter(1ms, *check);
    loop.run();
    return met;
}

// A private bus (dbus-daemon, session configuration) named by `variable` for the scope.
struct ScopedBus {
    std::string error;
    std::unique_ptr<headless::Bus> bus = headless::Bus::start(error);
    std::optional<ScopedEnv> env;
    explicit ScopedBus(const char* variable) {
        if (bus) env.emplace(variable, bus->address());
    }
};

}  // namespace tarvolin::test
