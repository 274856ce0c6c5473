#pragma once

// An X session for tests: Xvfb on a display it picks itself (-displayfd), openbox,
// and test clients, each confirmed ready by a condition seen on the X server, never
// by sleeping. Everything started is stopped again by the destructors.

#include <sys/types.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarvolin::testing {

using namespace std::chrono_literals;

// A child process, stopped (SIGTERM, then SIGKILL) and reaped when destroyed.
class Child {
public:
    struct Options {
        std::vector<std::string> env;  // NAME=VALUE added to ours
        bool pipeStdin = false;
        bool pipeStdout = false;
        bool quiet = true;  // stderr to /dev/null unless TARVOLIN_X11_TEST_VERBOSE is set
        int inheritFd = -1;
    };
    static std::unique_ptr<Child> spawn(const std::vector<std::string>& argv, const Options& options);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    // One line from its stdout without the newline; none on timeout or end of output.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout);
    bool writeLine(const std::string& line);
    // Waits for it to exit; its status (as from waitpid), none on timeout.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    bool running();
    void stop();

private:
    Child() = default;
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1, pidfd_ = -1;
    std::string buffered_;
    bool reaped_ = false;
    int status_ = 0;
};

// A sample-windows client (tools/sample-windows) and the windows it made, in the order asked.
struct TestClient {
    std::unique_ptr<Child> process;
    std::vector<xcb_window_t> windows;
    pid_t pid() const { return process->pid(); }
};

class XSession {
public:
    // Starts Xvfb and openbox (unless `windowManager` is false) and waits until the
    // window manager is up; null with `error` set when that fails.
    static std::unique_ptr<XSession> start(std::string& error, bool windowManager = true);
    ~XSession();

    const std::string& display() const { return display_; }
    xcb_connection_t* xcb() const { return c_; }
    xcb_window_t root() const { return root_; }

    // Waits until `done` holds, re-checking it after every change the session watches:
    // root properties, top-level windows, and the test clients' windows.
    bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout = 10s);

    // Starts a client with `args` (client options, see the client's usage) and waits
    // until the window manager manages all its windows (without one: until they are mapped).
    std::optional<TestClient> startClient(const std::vector<std::string>& args, std::string& error);

    // Stops a client and waits until the window manager has let go of its windows:
    // X reuses window ids, so a later client could otherwise meet stale entries.
    bool stopClient(TestClient& client, std::chrono::milliseconds timeout = 10s);

    // What the X server says now.
    std::vector<xcb_window_t> clientList();
    std::vector<xcb_window_t> stackingFrontFirst();
    xcb_window_t activeWindow();
    bool managed(xcb_window_t w);
    bool exists(xcb_window_t w);
    // Top-level windows as the X server stacks them, front first (frames, without a window manager clients).
    std::vector<xcb_window_t> topLevelsFrontFirst();
    bool waitUntilGone(xcb_window_t w, std::chrono::milliseconds timeout = 10s);
    bool waitUntilActive(xcb_window_t w, std::chrono::milliseconds timeout = 10s);
    std::vector<std::uint32_t> cardinals(xcb_window_t w, const char* property);
    xcb_atom_t atom(const char* name);
    void sync();

    bool openboxAlive() { return wm_ && wm_->running(); }
    pid_t serverPid() const { return xvfb_ ? xvfb_->pid() : -1; }
    pid_t windowManagerPid() const { return wm_ ? wm_->pid() : -1; }
    // Ends the window manager and the X server, as when the display goes away.
    void stopServer();

private:
    XSession() = default;
    std::unique_ptr<Child> xvfb_;
    std::unique_ptr<Child> wm_;
    xcb_connection_t* c_ = nullptr;
    xcb_window_t root_ = 0;
    std::string display_;
};

}  // namespace tarvolin::testing
