#pragma once

#include "XConnection.h"
#include "XWindows.h"

#include <optional>

namespace tarvolin::x11 {

// Every request that changes something on the X server goes through here. Requests
// the window manager acts on are sent as a pager would (source indication 2), since
// some window managers refuse focus requests from other sources.
class Writer {
public:
    explicit Writer(Connection& c) : c_(c) {}

    // Makes the window the active one and puts it on top of the stack, switching to its
    // desktop first when it is on another one (a window manager may otherwise only mark
    // it as demanding attention).
    void activate(const WindowFacts& w, const ClientList& wm);
    // Asks to hear of the window's changes: its properties and structure, or for the root
    // its properties and children.
    void watch(xcb_window_t w);
    // Puts the window on top of the stack without focusing it.
    void raise(xcb_window_t w, const ClientList& wm);
    // Asks the window to close through its WM_DELETE_WINDOW protocol, through the
    // window manager when it offers _NET_CLOSE_WINDOW. Never kills a client.
    void close(xcb_window_t w, const ClientList& wm);
    // Moves and/or resizes the frame: position of the frame's top-left corner, client size.
    void moveResize(xcb_window_t w, std::optional<std::int32_t> x, std::optional<std::int32_t> y,
                    std::optional<std::uint32_t> width, std::optional<std::uint32_t> height,
                    const ClientList& wm);
    // Asks the window manager to minimise the window (ICCCM WM_CHANGE_STATE).
    void iconify(xcb_window_t w);
    // Presses and releases `key` with `modifier` held, through XTest, to the focused window.
    void keyChord(xcb_keycode_t modifier, xcb_keycode_t key);

    void flush() { c_.flush(); }

private:
    Connection& c_;
};

// The keycode that produces `keysym` without modifiers, if the keyboard has one.
std::optional<xcb_keycode_t> keycodeFor(Connection& c, xcb_keysym_t keysym);

}  // namespace tarvolin::x11
