// A small X client for the demo and the backend tests: windows with given titles, owners, classes,
// types, opacity and icons. Prints "ready ID..." once its windows are mapped, and a
// line for every window it closes. Windows close on WM_DELETE_WINDOW (when they speak
// it) and on Control+W; the client exits when its last window is gone or stdin ends.
//
// Usage: tarvolin-sample-windows [--window OPTIONS]...
//   --title TEXT        _NET_WM_NAME and WM_NAME      --wm-name TEXT   WM_NAME only
//   --type T            normal|dialog|utility|dock|desktop|toolbar
//   --above             _NET_WM_STATE_ABOVE           --opacity F      0..1
//   --geometry WxH+X+Y  placed at X,Y (USPosition)    --class I:C      WM_CLASS
//   --icon WxH:AARRGGBB one more _NET_WM_ICON entry   --no-pid / --pid N
//   --unclosable        no WM_DELETE_WINDOW           --border N       an X border N pixels wide
// stdin: "destroy I" (window by index, without the window manager), "title I TEXT", "exit".
#include <poll.h>
#include <unistd.h>
#include <xcb/xcb.h>
#include <xcb/xcb_icccm.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct WindowOptions {
    std::optional<std::string> title, wmName;
    std::string type = "normal";
    bool above = false;
    std::optional<double> opacity;
    std::uint16_t w = 200, h = 120;
    std::int16_t x = 10, y = 10;
    std::string instance = "tarvolin-client", klass = "TarvolinClient";
    std::vector<std::uint32_t> icon;
    bool setPid = true;
    std::optional<std::uint32_t> pid;
    bool closable = true;
    std::uint16_t border = 0;
};

[[noreturn]] void usage(const std::string& why) {
    std::fprintf(stderr, "tarvolin-sample-windows: %s\n", why.c_str());
    std::exit(2);
}

std::vector<WindowOptions> parse(int argc, char** argv) {
    std::vector<WindowOptions> windows;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) usage("missing value for " + a);
            return argv[++i];
        };
        if (a == "--window") {
            windows.emplace_back();
            continue;
        }
        if (windows.empty()) usage("options must follow --window");
        WindowOptions& s = windows.back();
        if (a == "--title") {
            s.title = next();
        } else if (a == "--wm-name") {
            s.wmName = next();
        } else if (a == "--type") {
            s.type = next();
        } else if (a == "--above") {
            s.above = true;
        } else if (a == "--opacity") {
            s.opacity = std::stod(next());
        } else if (a == "--geometry") {
            unsigned w, h;
            int x, y;
            if (std::sscanf(next().c_str(), "%ux%u+%d+%d", &w, &h, &x, &y) != 4) usage("bad geometry");
            s.w = static_cast<std::uint16_t>(w);
            s.h = static_cast<std::uint16_t>(h);
            s.x = static_cast<std::int16_t>(x);
            s.y = static_cast<std::int16_t>(y);
        } else if (a == "--class") {
            std::string v = next();
            auto colon = v.find(':');
            if (colon == std::string::npos) usage("class must be INSTANCE:CLASS");
            s.instance = v.substr(0, colon);
            s.klass = v.substr(colon + 1);
        } else if (a == "--icon") {
            unsigned w, h;
            std::uint32_t argb;
            if (std::sscanf(next().c_str(), "%ux%u:%x", &w, &h, &argb) != 3) usage("bad icon");
            s.icon.push_back(w);
            s.icon.push_back(h);
            s.icon.insert(s.icon.end(), std::size_t{w} * h, argb);
        } else if (a == "--no-pid") {
            s.setPid = false;
        } else if (a == "--pid") {
            s.pid = static_cast<std::uint32_t>(std::stoul(next()));
        } else if (a == "--unclosable") {
            s.closable = false;
        } else if (a == "--border") {
            s.border = static_cast<std::uint16_t>(std::stoul(next()));
        } else {
            usage("unknown option " + a);
        }
    }
    return windows;
}

struct Client {
    xcb_connection_t* c = nullptr;
    xcb_screen_t* screen = nullptr;
    std::vector<xcb_window_t> windows;  // XCB_NONE once closed
    xcb_atom_t protocols = 0, deleteWindow = 0;
    xcb_keycode_t keyW = 0;

    xcb_atom_t atom(const char* name) {
        auto cookie = xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name);
        std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> r(
            xcb_intern_atom_reply(c, cookie, nullptr), &std::free);
        if (!r) usage(std::string("cannot intern ") + name);
        return r->atom;
    }

    void setAtoms(xcb_window_t w, const char* prop, const std::vector<xcb_atom_t>& values) {
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, atom(prop), XCB_ATOM_ATOM, 32,
                            static_cast<std::uint32_t>(values.size()), values.data());
    }
    void setCardinals(xcb_window_t w, const char* prop, const std::vector<std::uint32_t>& values) {
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, atom(prop), XCB_ATOM_CARDINAL, 32,
                            static_cast<std::uint32_t>(values.size()), values.data());
    }
    void setTitle(xcb_window_t w, const std::string& t) {
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, atom("_NET_WM_NAME"), atom("UTF8_STRING"), 8,
                            static_cast<std::uint32_t>(t.size()), t.data());
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                            static_cast<std::uint32_t>(t.size()), t.data());
    }

    xcb_window_t create(const WindowOptions& s) {
        xcb_window_t w = xcb_generate_id(c);
        const std::uint32_t values[] = {screen->white_pixel,
                                        XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_STRUCTURE_NOTIFY};
        xcb_create_window(c, XCB_COPY_FROM_PARENT, w, screen->root, s.x, s.y, s.w, s.h, s.border,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                          XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);
        if (s.title) setTitle(w, *s.title);
        if (s.wmName)
            xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                                static_cast<std::uint32_t>(s.wmName->size()), s.wmName->data());
        std::string cls = s.instance + '\0' + s.klass + '\0';
        xcb_icccm_set_wm_class(c, w, static_cast<std::uint32_t>(cls.size()), cls.data());
        xcb_size_hints_t size{};
        xcb_icccm_size_hints_set_position(&size, 1, s.x, s.y);
        xcb_icccm_size_hints_set_size(&size, 1, s.w, s.h);
        xcb_icccm_set_wm_normal_hints(c, w, &size);
        xcb_icccm_wm_hints_t hints{};
        xcb_icccm_wm_hints_set_input(&hints, 1);
        xcb_icccm_wm_hints_set_normal(&hints);
        xcb_icccm_set_wm_hints(c, w, &hints);
        if (s.closable) xcb_icccm_set_wm_protocols(c, w, protocols, 1, &deleteWindow);
        if (s.setPid) setCardinals(w, "_NET_WM_PID", {s.pid.value_or(static_cast<std::uint32_t>(getpid()))});
        std::string type = "_NET_WM_WINDOW_TYPE_";
        for (char ch : s.type) type += static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        setAtoms(w, "_NET_WM_WINDOW_TYPE", {atom(type.c_str())});
        if (s.above) setAtoms(w, "_NET_WM_STATE", {atom("_NET_WM_STATE_ABOVE")});
        if (s.opacity)
            setCardinals(w, "_NET_WM_WINDOW_OPACITY",
                         {static_cast<std::uint32_t>(*s.opacity * 4294967295.0)});
        if (!s.icon.empty()) setCardinals(w, "_NET_WM_ICON", s.icon);
        xcb_map_window(c, w);
        return w;
    }

    std::optional<std::size_t> indexOf(xcb_window_t w) const {
        for (std::size_t i = 0; i < windows.size(); ++i)
            if (windows[i] == w && w != XCB_NONE) return i;
        return std::nullopt;
    }

    bool anyLeft() const {
        for (xcb_window_t w : windows)
            if (w != XCB_NONE) return true;
        return false;
    }

    void close(std::size_t i, const char* why) {
        std::printf("%s %u\n", why, windows[i]);
        std::fflush(stdout);
        xcb_destroy_window(c, windows[i]);
        xcb_flush(c);
        windows[i] = XCB_NONE;
    }
};

xcb_keycode_t keycodeOf(xcb_connection_t* c, xcb_keysym_t sym) {
    const xcb_setup_t* setup = xcb_get_setup(c);
    auto count = static_cast<std::uint8_t>(setup->max_keycode - setup->min_keycode + 1);
    std::unique_ptr<xcb_get_keyboard_mapping_reply_t, decltype(&std::free)> map(
        xcb_get_keyboard_mapping_reply(c, xcb_get_keyboard_mapping(c, setup->min_keycode, count), nullptr),
        &std::free);
    if (!map || !map->keysyms_per_keycode) return 0;
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(map.get());
    int n = xcb_get_keyboard_mapping_keysyms_length(map.get());
    for (int i = 0; i < n; i += map->keysyms_per_keycode)
        if (syms[i] == sym)
            return static_cast<xcb_keycode_t>(setup->min_keycode + i / map->keysyms_per_keycode);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<WindowOptions> windows = parse(argc, argv);
    if (windows.empty()) usage("no --window given");
    Client cl;
    int screenNumber = 0;
    cl.c = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(cl.c)) usage("cannot connect to the X display");
    auto it = xcb_setup_roots_iterator(xcb_get_setup(cl.c));
    for (int i = 0; i < screenNumber; ++i) xcb_screen_next(&it);
    cl.screen = it.data;
    cl.protocols = cl.atom("WM_PROTOCOLS");
    cl.deleteWindow = cl.atom("WM_DELETE_WINDOW");
    cl.keyW = keycodeOf(cl.c, 0x77);
    for (const WindowOptions& s : windows) cl.windows.push_back(cl.create(s));
    // Every request is processed once a round trip returns.
    std::free(xcb_get_input_focus_reply(cl.c, xcb_get_input_focus(cl.c), nullptr));
    std::printf("ready");
    for (xcb_window_t w : cl.windows) std::printf(" %u", w);
    std::printf("\n");
    std::fflush(stdout);

    std::string input;
    pollfd fds[2] = {{xcb_get_file_descriptor(cl.c), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    while (cl.anyLeft()) {
        while (xcb_generic_event_t* ev = xcb_poll_for_event(cl.c)) {
            std::unique_ptr<xcb_generic_event_t, decltype(&std::free)> owned(ev, &std::free);
            const auto type = ev->response_type & 0x7f;
            if (type == XCB_CLIENT_MESSAGE) {
                auto* cm = reinterpret_cast<xcb_client_message_event_t*>(ev);
                auto i = cl.indexOf(cm->window);
                if (i && cm->type == cl.protocols && cm->data.data32[0] == cl.deleteWindow)
                    cl.close(*i, "closed");
            } else if (type == XCB_KEY_PRESS) {
                auto* kp = reinterpret_cast<xcb_key_press_event_t*>(ev);
                auto i = cl.indexOf(kp->event);
                if (i && kp->detail == cl.keyW && (kp->state & XCB_MOD_MASK_CONTROL))
                    cl.close(*i, "keyclosed");
            }
        }
        if (xcb_connection_has_error(cl.c)) return 1;
        if (!cl.anyLeft()) break;
        if (poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents & (POLLIN | POLLHUP)) {
            char buf[512];
            ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
            if (n <= 0) break;  // our parent is gone
            input.append(buf, static_cast<std::size_t>(n));
            std::size_t nl;
            while ((nl = input.find('\n')) != std::string::npos) {
                std::istringstream line(input.substr(0, nl));
                input.erase(0, nl + 1);
                std::string cmd;
                std::size_t index = 0;
                line >> cmd >> index;
                if (cmd == "exit") return 0;
                if (index >= cl.windows.size() || cl.windows[index] == XCB_NONE) continue;
                if (cmd == "destroy") {
                    cl.close(index, "destroyed");
                } else if (cmd == "title") {
                    std::string text;
                    std::getline(line >> std::ws, text);
                    cl.setTitle(cl.windows[index], text);
                    std::free(xcb_get_input_focus_reply(cl.c, xcb_get_input_focus(cl.c), nullptr));
                    std::printf("titled %u\n", cl.windows[index]);
                    std::fflush(stdout);
                }
            }
        }
    }
    xcb_disconnect(cl.c);
    return 0;
}
