#include "XConnection.h"

#include <xcb/randr.h>
#include <xcb/res.h>
#include <xcb/xtest.h>

#include <array>
#include <cstring>

namespace tarvolin::x11 {

namespace {

// Wrap-safe "a was sent after b" for 32-bit sequence numbers.
bool after(unsigned a, unsigned b) { return static_cast<std::int32_t>(a - b) > 0; }

const char* errorName(std::uint8_t code) {
    static constexpr std::array<const char*, 18> names = {
        "Success",   "BadRequest", "BadValue",    "BadWindow",   "BadPixmap", "BadAtom",
        "BadCursor", "BadFont",    "BadMatch",    "BadDrawable", "BadAccess", "BadAlloc",
        "BadColor",  "BadGC",      "BadIDChoice", "BadName",     "BadLength", "BadImplementation"};
    return code < names.size() ? names[code] : "extension error";
}

}  // namespace

std::unique_ptr<Connection> Connection::open(const char* display, std::string& error) {
    std::unique_ptr<Connection> conn(new Connection());
    int screenNumber = 0;
    conn->c_ = xcb_connect(display, &screenNumber);
    if (int code = xcb_connection_has_error(conn->c_)) {
        const char* name = display ? display : std::getenv("DISPLAY");
        error = "cannot connect to the X display " + std::string(name ? name : "(DISPLAY is not set)") +
                " (xcb error " + std::to_string(code) + ")";
        return nullptr;
    }
    conn->screenNumber_ = screenNumber;
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(conn->c_));
    for (int i = 0; it.rem && i < screenNumber; ++i) xcb_screen_next(&it);
    if (!it.rem) {
        error = "the X display has no screen " + std::to_string(screenNumber);
        return nullptr;
    }
    conn->screen_ = it.data;

    // Everything at set-up is asked at once: extensions, atoms, RandR version.
    xcb_prefetch_extension_data(conn->c_, &xcb_res_id);
    xcb_prefetch_extension_data(conn->c_, &xcb_test_id);
    xcb_prefetch_extension_data(conn->c_, &xcb_randr_id);
    xcb_intern_atom_cookie_t* ewmhCookies = xcb_ewmh_init_atoms(conn->c_, &conn->ewmh_);
    constexpr std::array<const char*, 4> extraNames = {"WM_DELETE_WINDOW", "WM_STATE", "WM_CHANGE_STATE",
                                                       "_NET_WM_WINDOW_OPACITY"};
    std::array<xcb_intern_atom_cookie_t, extraNames.size()> extraCookies{};
    for (size_t i = 0; i < extraNames.size(); ++i)
        extraCookies[i] = xcb_intern_atom(conn->c_, 0, static_cast<std::uint16_t>(std::strlen(extraNames[i])),
                                          extraNames[i]);

    xcb_generic_error_t* ewmhError = nullptr;
    conn->ewmhReady_ = xcb_ewmh_init_atoms_replies(&conn->ewmh_, ewmhCookies, &ewmhError) != 0;
    ErrorReply ownedEwmhError(ewmhError);
    std::array<xcb_atom_t*, extraNames.size()> slots = {&conn->extra_.WM_DELETE_WINDOW,
                                                        &conn->extra_.WM_STATE, &conn->extra_.WM_CHANGE_STATE,
                                                        &conn->extra_._NET_WM_WINDOW_OPACITY};
    for (size_t i = 0; i < extraNames.size(); ++i) {
        Reply<xcb_intern_atom_reply_t> r(xcb_intern_atom_reply(conn->c_, extraCookies[i], nullptr));
        if (r) *slots[i] = r->atom;
    }
    if (!conn->ewmhReady_ || conn->extra_.WM_DELETE_WINDOW == XCB_NONE) {
        error = "cannot intern the window-manager atoms on the X display";
        return nullptr;
    }

    auto present = [&](xcb_extension_t* ext) {
        const xcb_query_extension_reply_t* r = xcb_get_extension_data(conn->c_, ext);
        return r && r->present;
    };
    conn->hasXRes_ = present(&xcb_res_id);
    conn->hasXTest_ = present(&xcb_test_id);
    if (present(&xcb_randr_id)) {
        Reply<xcb_randr_query_version_reply_t> v(
            xcb_randr_query_version_reply(conn->c_, xcb_randr_query_version(conn->c_, 1, 5), nullptr));
        conn->hasMonitors_ = v && (v->major_version > 1 || (v->major_version == 1 && v->minor_version >= 5));
    }
    if (conn->broken()) {
        error = "the X connection broke during set-up";
        return nullptr;
    }
    return conn;
}

Connection::~Connection() {
    if (ewmhReady_) xcb_ewmh_connection_wipe(&ewmh_);
    if (c_) xcb_disconnect(c_);
}

void Connection::noteSent(unsigned sequence) {
    ++requests_;
    if (!anySent_ || after(sequence, lastSent_)) lastSent_ = sequence;
    anySent_ = true;
}

void Connection::noteWait(unsigned sequence) {
    if (!anyWait_ || after(sequence, coveredUpTo_)) {
        ++roundTrips_;
        anyWait_ = true;
        // Waiting flushes the buffer: everything sent so far is now on its way.
        coveredUpTo_ = after(sequence, lastSent_) ? sequence : lastSent_;
    }
}

void Connection::noteUnexpected(const xcb_generic_error_t& e) {
    ++unexpectedErrors_;
    lastUnexpected_ = std::string(errorName(e.error_code)) + " (code " + std::to_string(e.error_code) +
                      ", request " + std::to_string(e.major_code) + "." + std::to_string(e.minor_code) +
                      ", resource " + std::to_string(e.resource_id) + ")";
}

bool Connection::processEvents() {
    while (Reply<xcb_generic_event_t> ev{xcb_poll_for_event(c_)}) {
        if (ev->response_type == 0) {
            const auto& e = *reinterpret_cast<const xcb_generic_error_t*>(ev.get());
            if (!isVanished(e)) noteUnexpected(e);
        } else if (onEvent_) {
            onEvent_(*ev);
        }
    }
    return !broken();
}

void Connection::sync() { reply(xcb_get_input_focus_reply, sent(xcb_get_input_focus(c_))); }

}  // namespace tarvolin::x11
