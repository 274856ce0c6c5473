#include "XWriter.h"

#include <xcb/xtest.h>

#include <algorithm>

namespace tarvolin::x11 {

namespace {

constexpr std::uint32_t kIconicState = 3;

xcb_client_message_event_t clientMessage(xcb_window_t w, xcb_atom_t type) {
    xcb_client_message_event_t ev{};
    ev.response_type = XCB_CLIENT_MESSAGE;
    ev.format = 32;
    ev.window = w;
    ev.type = type;
    return ev;
}

}  // namespace

void Writer::watch(xcb_window_t w) {
    const std::uint32_t mask =
        XCB_EVENT_MASK_PROPERTY_CHANGE |
        (w == c_.root() ? XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY : XCB_EVENT_MASK_STRUCTURE_NOTIFY);
    c_.sent(xcb_change_window_attributes(c_.xcb(), w, XCB_CW_EVENT_MASK, &mask));
}

void Writer::raise(xcb_window_t w, const ClientList& wm) {
    if (wm.supports(c_.atoms()._NET_RESTACK_WINDOW)) {
        c_.sent(
            xcb_ewmh_request_restack_window(c_.ewmh(), c_.screenNumber(), w, XCB_NONE, XCB_STACK_MODE_ABOVE));
    } else {
        const std::uint32_t above = XCB_STACK_MODE_ABOVE;
        c_.sent(xcb_configure_window(c_.xcb(), w, XCB_CONFIG_WINDOW_STACK_MODE, &above));
    }
    c_.flush();
}

void Writer::activate(const WindowFacts& facts, const ClientList& wm) {
    const auto& a = c_.atoms();
    const xcb_window_t w = facts.id;
    constexpr std::uint32_t kAllDesktops = 0xFFFFFFFF;
    if (facts.desktop && *facts.desktop != kAllDesktops && wm.currentDesktop &&
        *facts.desktop != *wm.currentDesktop && wm.supports(a._NET_CURRENT_DESKTOP))
        c_.sent(xcb_ewmh_request_change_current_desktop(c_.ewmh(), c_.screenNumber(), *facts.desktop,
                                                        XCB_CURRENT_TIME));
    if (wm.supports(a._NET_ACTIVE_WINDOW)) {
        c_.sent(xcb_ewmh_request_change_active_window(
            c_.ewmh(), c_.screenNumber(), w, XCB_EWMH_CLIENT_SOURCE_TYPE_OTHER, XCB_CURRENT_TIME, wm.active));
    }
    raise(w, wm);
    if (!wm.supports(a._NET_ACTIVE_WINDOW))
        c_.sent(xcb_set_input_focus(c_.xcb(), XCB_INPUT_FOCUS_POINTER_ROOT, w, XCB_CURRENT_TIME));
    c_.flush();
}

void Writer::close(xcb_window_t w, const ClientList& wm) {
    const auto& a = c_.atoms();
    if (wm.supports(a._NET_CLOSE_WINDOW)) {
        c_.sent(xcb_ewmh_request_close_window(c_.ewmh(), c_.screenNumber(), w, XCB_CURRENT_TIME,
                                              XCB_EWMH_CLIENT_SOURCE_TYPE_OTHER));
    } else {
        xcb_client_message_event_t ev = clientMessage(w, a.WM_PROTOCOLS);
        ev.data.data32[0] = c_.extra().WM_DELETE_WINDOW;
        ev.data.data32[1] = XCB_CURRENT_TIME;
        c_.sent(xcb_send_event(c_.xcb(), 0, w, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&ev)));
    }
    c_.flush();
}

void Writer::moveResize(xcb_window_t w, std::optional<std::int32_t> x, std::optional<std::int32_t> y,
                        std::optional<std::uint32_t> width, std::optional<std::uint32_t> height,
                        const ClientList& wm) {
    if (wm.supports(c_.atoms()._NET_MOVERESIZE_WINDOW)) {
        unsigned flags = 0;
        if (x) flags |= XCB_EWMH_MOVERESIZE_WINDOW_X;
        if (y) flags |= XCB_EWMH_MOVERESIZE_WINDOW_Y;
        if (width) flags |= XCB_EWMH_MOVERESIZE_WINDOW_WIDTH;
        if (height) flags |= XCB_EWMH_MOVERESIZE_WINDOW_HEIGHT;
        // North-west gravity: x and y place the frame's top-left corner.
        c_.sent(xcb_ewmh_request_moveresize_window(
            c_.ewmh(), c_.screenNumber(), w, XCB_GRAVITY_NORTH_WEST, XCB_EWMH_CLIENT_SOURCE_TYPE_OTHER,
            static_cast<xcb_ewmh_moveresize_window_opt_flags_t>(flags),
            static_cast<std::uint32_t>(x.value_or(0)), static_cast<std::uint32_t>(y.value_or(0)),
            width.value_or(0), height.value_or(0)));
    } else {
        std::uint16_t mask = 0;
        std::uint32_t values[4];
        int n = 0;
        if (x) mask |= XCB_CONFIG_WINDOW_X, values[n++] = static_cast<std::uint32_t>(*x);
        if (y) mask |= XCB_CONFIG_WINDOW_Y, values[n++] = static_cast<std::uint32_t>(*y);
        if (width) mask |= XCB_CONFIG_WINDOW_WIDTH, values[n++] = *width;
        if (height) mask |= XCB_CONFIG_WINDOW_HEIGHT, values[n++] = *height;
        c_.sent(xcb_configure_window(c_.xcb(), w, mask, values));
    }
    c_.flush();
}

void Writer::iconify(xcb_window_t w) {
    xcb_client_message_event_t ev = clientMessage(w, c_.extra().WM_CHANGE_STATE);
    ev.data.data32[0] = kIconicState;
    c_.sent(xcb_send_event(c_.xcb(), 0, c_.root(),
                           XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                           reinterpret_cast<const char*>(&ev)));
    c_.flush();
}

void Writer::keyChord(xcb_keycode_t modifier, xcb_keycode_t key) {
    auto fake = [&](std::uint8_t type, xcb_keycode_t code) {
        c_.sent(xcb_test_fake_input(c_.xcb(), type, code, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0));
    };
    fake(XCB_KEY_PRESS, modifier);
    fake(XCB_KEY_PRESS, key);
    fake(XCB_KEY_RELEASE, key);
    fake(XCB_KEY_RELEASE, modifier);
    c_.flush();
}

std::optional<xcb_keycode_t> keycodeFor(Connection& c, xcb_keysym_t keysym) {
    const xcb_setup_t* setup = xcb_get_setup(c.xcb());
    const xcb_keycode_t first = setup->min_keycode;
    const auto count = static_cast<std::uint8_t>(setup->max_keycode - setup->min_keycode + 1);
    auto map =
        c.reply(xcb_get_keyboard_mapping_reply, c.sent(xcb_get_keyboard_mapping(c.xcb(), first, count)));
    if (!map || map->keysyms_per_keycode == 0) return std::nullopt;
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(map.get());
    const auto total = static_cast<size_t>(xcb_get_keyboard_mapping_keysyms_length(map.get()));
    for (size_t i = 0; i < total; i += map->keysyms_per_keycode) {
        if (syms[i] == keysym) return static_cast<xcb_keycode_t>(first + i / map->keysyms_per_keycode);
    }
    return std::nullopt;
}

}  // namespace tarvolin::x11
