#include "tools/headless/Desktop.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace tarvolin::headless {

namespace {

// The first line a program writes to a descriptor it was given (-displayfd, --print-address).
std::unique_ptr<Process> spawnReporting(std::vector<std::string> argv, std::string& line,
                                        std::chrono::milliseconds timeout) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return nullptr;
    for (auto& arg : argv)
        if (auto at = arg.find("{fd}"); at != std::string::npos) arg.replace(at, 4, std::to_string(fds[1]));
    Process::Options options;
    options.inheritFd = fds[1];
    auto process = Process::spawn(argv, options);
    close(fds[1]);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string text;
    while (process && text.find('\n') == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        pollfd p{fds[0], POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char buf[256];
        ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    if (text.find('\n') == std::string::npos) return nullptr;
    line = text.substr(0, text.find('\n'));
    return process;
}

template <class T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

}  // namespace

std::unique_ptr<Bus> Bus::start(std::string& error) {
    std::unique_ptr<Bus> bus(new Bus());
    bus->daemon_ = spawnReporting(
        {"dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address={fd}"}, bus->address_, 20s);
    if (!bus->daemon_) error = "dbus-daemon did not report its address";
    return bus->daemon_ ? std::move(bus) : nullptr;
}

std::unique_ptr<DisplayWatch> DisplayWatch::connect(const std::string& display, std::string& error) {
    std::unique_ptr<DisplayWatch> x(new DisplayWatch());
    x->c_ = xcb_connect(display.c_str(), nullptr);
    if (xcb_connection_has_error(x->c_)) {
        error = "cannot connect to " + display;
        return nullptr;
    }
    x->root_ = xcb_setup_roots_iterator(xcb_get_setup(x->c_)).data->root;
    const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(x->c_, x->root_, XCB_CW_EVENT_MASK, &mask);
    x->sync();
    return x;
}

DisplayWatch::~DisplayWatch() { xcb_disconnect(c_); }

void DisplayWatch::watch(xcb_window_t w) {
    const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_change_window_attributes(c_, w, XCB_CW_EVENT_MASK, &mask);
}

void DisplayWatch::sync() { std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr)); }

bool DisplayWatch::waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (done()) return true;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || xcb_connection_has_error(c_)) return false;
        bool any = false;
        while (xcb_generic_event_t* ev = xcb_poll_for_event(c_)) std::free(ev), any = true;
        if (any) continue;
        pollfd p{xcb_get_file_descriptor(c_), POLLIN, 0};
        poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 60000)));
    }
}

xcb_atom_t DisplayWatch::atom(const char* name) {
    const auto length = static_cast<std::uint16_t>(std::strlen(name));
    Reply<xcb_intern_atom_reply_t> r(xcb_intern_atom_reply(c_, xcb_intern_atom(c_, 0, length, name), nullptr),
                                     &std::free);
    return r ? r->atom : XCB_NONE;
}

std::vector<std::uint32_t> DisplayWatch::cardinals(xcb_window_t w, const char* property) {
    auto cookie = xcb_get_property(c_, 0, w, atom(property), XCB_GET_PROPERTY_TYPE_ANY, 0, 1u << 16);
    Reply<xcb_get_property_reply_t> r(xcb_get_property_reply(c_, cookie, nullptr), &std::free);
    if (!r || r->format != 32) return {};
    auto* v = static_cast<std::uint32_t*>(xcb_get_property_value(r.get()));
    return {v, v + xcb_get_property_value_length(r.get()) / 4};
}

bool DisplayWatch::managed(xcb_window_t w) {
    auto list = cardinals(root_, "_NET_CLIENT_LIST");
    return std::find(list.begin(), list.end(), w) != list.end();
}

std::unique_ptr<Desktop> Desktop::start(Kind kind, std::string& error) {
    switch (kind) {
        case Kind::x11:
            return XvfbDesktop::start({}, error);
    }
    error = "unknown kind of desktop";
    return nullptr;
}

std::unique_ptr<XvfbDesktop> XvfbDesktop::start(const Options& options, std::string& error) {
    std::unique_ptr<XvfbDesktop> d(new XvfbDesktop());
    std::string number;
    // Xvfb writes the display number once it accepts connections.
    d->xvfb_ = spawnReporting(
        {"Xvfb", "-displayfd", "{fd}", "-screen", "0", options.screen, "-nolisten", "tcp", "-noreset"},
        number, 20s);
    if (!d->xvfb_) {
        error = "Xvfb did not report its display";
        return nullptr;
    }
    d->display_ = ":" + number;
    if (!(d->x_ = DisplayWatch::connect(d->display_, error))) return nullptr;
    if (options.sessionBus && !(d->bus_ = Bus::start(error))) return nullptr;
    if (options.windowManager && !d->awaitWindowManager(options.windowManagerCommand, error)) return nullptr;
    return d;
}

bool XvfbDesktop::awaitWindowManager(const std::vector<std::string>& command, std::string& error) {
    Process::Options options;
    options.env = {"DISPLAY=" + display_};
    const std::string name = command.empty() ? "the window manager" : command[0];
    wm_ = Process::spawn(command, options);
    DisplayWatch& x = *x_;
    if (!wm_ || !x.waitFor([&] { return !x.cardinals(x.root(), "_NET_SUPPORTING_WM_CHECK").empty(); }, 20s)) {
        error = name + " did not come up";
        return false;
    }
    // Its properties go up before it handles its first map request: a probe window that
    // gets managed (mapped again until it is) proves it does now.
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(x.xcb())).data;
    for (int attempt = 0; attempt < 80; ++attempt) {
        xcb_window_t probe = xcb_generate_id(x.xcb());
        xcb_create_window(x.xcb(), XCB_COPY_FROM_PARENT, probe, x.root(), 0, 0, 10, 10, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, 0, nullptr);
        xcb_map_window(x.xcb(), probe);
        x.sync();
        const bool managed = x.waitFor([&] { return x.managed(probe); }, 250ms);
        xcb_destroy_window(x.xcb(), probe);
        x.sync();
        if (managed) return true;
    }
    error = name + " does not manage windows";
    return false;
}

std::vector<std::string> XvfbDesktop::environment() const {
    // Not the caller's Wayland session (unset, not empty: some clients take an empty one as set).
    std::vector<std::string> env = {"DISPLAY=" + display_, "WAYLAND_DISPLAY", "SWAYSOCK"};
    if (bus_) env.push_back("DBUS_SESSION_BUS_ADDRESS=" + bus_->address());
    return env;
}

void XvfbDesktop::stopServer() {
    wm_.reset();
    xvfb_.reset();
}

XvfbDesktop::~XvfbDesktop() {
    wm_.reset();
    bus_.reset();
    x_.reset();
    xvfb_.reset();
}

}  // namespace tarvolin::headless
