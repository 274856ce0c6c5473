#pragma once

// A private headless desktop: the product's way to run something where there is no
// display (scripts/demo through tarvolin-headless) and the tests' way to get one.

#include "tools/headless/Process.h"

#include <xcb/xcb.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tarvolin::headless {

// A private D-Bus daemon with the session configuration (tests run a second one as the system bus).
class Bus {
public:
    static std::unique_ptr<Bus> start(std::string& error);
    const std::string& address() const { return address_; }

private:
    std::unique_ptr<Process> daemon_;
    std::string address_;
};

// A connection that watches the display: root properties, top-level windows and the windows
// handed to watch(). Waits wake on those changes, never on a timer.
class DisplayWatch {
public:
    static std::unique_ptr<DisplayWatch> connect(const std::string& display, std::string& error);
    ~DisplayWatch();
    DisplayWatch(const DisplayWatch&) = delete;
    DisplayWatch& operator=(const DisplayWatch&) = delete;

    xcb_connection_t* xcb() const { return c_; }
    xcb_window_t root() const { return root_; }
    // Until `done` holds (true) or the timeout passes or the display is lost (false).
    bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout = 10s);
    void watch(xcb_window_t w);
    void sync();
    xcb_atom_t atom(const char* name);
    std::vector<std::uint32_t> cardinals(xcb_window_t w, const char* property);
    bool managed(xcb_window_t w);  // listed in _NET_CLIENT_LIST

private:
    DisplayWatch() = default;
    xcb_connection_t* c_ = nullptr;
    xcb_window_t root_ = 0;
};

// What a desktop gives the programs run on it.
class Desktop {
public:
    enum class Kind { x11 };  // X server, window manager and session bus
    static std::unique_ptr<Desktop> start(Kind kind, std::string& error);
    virtual ~Desktop() = default;
    // NAME=VALUE for the programs that run on it.
    virtual std::vector<std::string> environment() const = 0;
};

// Xvfb on a display it picks itself (-displayfd), a window manager (openbox unless told) confirmed
// ready by a window it manages, and a session bus. Stopped in order: window manager, bus, server.
class XvfbDesktop final : public Desktop {
public:
    struct Options {
        bool windowManager = true;
        bool sessionBus = true;
        std::string screen = "1280x1024x24";
        std::vector<std::string> windowManagerCommand = {"openbox", "--sm-disable"};
    };
    static std::unique_ptr<XvfbDesktop> start(const Options& options, std::string& error);
    ~XvfbDesktop() override;

    std::vector<std::string> environment() const override;
    const std::string& display() const { return display_; }
    DisplayWatch& x() { return *x_; }
    bool windowManagerAlive() { return wm_ && wm_->running(); }
    // For pinning them to CPUs; -1 when not running.
    pid_t serverPid() const { return xvfb_ ? xvfb_->pid() : -1; }
    pid_t windowManagerPid() const { return wm_ ? wm_->pid() : -1; }
    // The window manager and the server end, as when the display goes away.
    void stopServer();

private:
    XvfbDesktop() = default;
    bool awaitWindowManager(const std::vector<std::string>& command, std::string& error);

    std::unique_ptr<Process> xvfb_;
    std::unique_ptr<DisplayWatch> x_;
    std::unique_ptr<Bus> bus_;
    std::unique_ptr<Process> wm_;
    std::string display_;
};

}  // namespace tarvolin::headless
