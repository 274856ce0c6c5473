#pragma once

#include <xcb/xcb.h>
#include <xcb/xcb_ewmh.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

namespace tarvolin::x11 {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
// Every reply and error xcb hands out is malloc'd and owned by the caller.
template <class T>
using Reply = std::unique_ptr<T, FreeDeleter>;
using ErrorReply = Reply<xcb_generic_error_t>;

// Atoms that xcb-ewmh does not intern for us.
struct ExtraAtoms {
    xcb_atom_t WM_DELETE_WINDOW = XCB_NONE;
    xcb_atom_t WM_STATE = XCB_NONE;
    xcb_atom_t WM_CHANGE_STATE = XCB_NONE;
    xcb_atom_t _NET_WM_WINDOW_OPACITY = XCB_NONE;
};

// The connection to the X server, with the interned atoms and the counters that
// tests and benchmarks read: requests, round trips (derived from the request
// pattern) and X errors nobody expected.
class Connection {
public:
    static std::unique_ptr<Connection> open(const char* display, std::string& error);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    xcb_connection_t* xcb() const { return c_; }
    xcb_ewmh_connection_t* ewmh() { return &ewmh_; }
    const xcb_ewmh_connection_t& atoms() const { return ewmh_; }
    const ExtraAtoms& extra() const { return extra_; }
    xcb_window_t root() const { return screen_->root; }
    const xcb_screen_t& screen() const { return *screen_; }
    int screenNumber() const { return screenNumber_; }
    bool broken() const { return xcb_connection_has_error(c_) != 0; }
    int fd() const { return xcb_get_file_descriptor(c_); }

    bool hasXRes() const { return hasXRes_; }
    bool hasXTest() const { return hasXTest_; }
    bool hasMonitors() const { return hasMonitors_; }

    // Notes a request as sent; every request goes through here so that the
    // round-trip count is derived from what was actually put on the wire.
    template <class Cookie>
    Cookie sent(Cookie cookie) {
        noteSent(cookie.sequence);
        return cookie;
    }

    // Waits for the reply of `cookie`. An error reply lands in `error`; when the
    // caller passes no slot, any error counts as unexpected.
    template <class R, class Cookie>
    Reply<R> reply(R* (*fn)(xcb_connection_t*, Cookie, xcb_generic_error_t**), Cookie cookie,
                   ErrorReply* error = nullptr) {
        noteWait(cookie.sequence);
        xcb_generic_error_t* raw = nullptr;
        Reply<R> r(fn(c_, cookie, &raw));
        ErrorReply owned(raw);
        if (error)
            *error = std::move(owned);
        else if (owned)
            noteUnexpected(*owned);
        return r;
    }

    // A window that vanished between two requests answers BadWindow (or BadDrawable
    // for geometry): normal, not a fault.
    static bool isVanished(const xcb_generic_error_t& e) {
        return e.error_code == XCB_WINDOW || e.error_code == XCB_DRAWABLE;
    }
    // Counts an error that no caller expected and keeps its text for diagnostics.
    void noteUnexpected(const xcb_generic_error_t& e);

    // Sends what is buffered.
    void flush() { xcb_flush(c_); }

    // Drains queued events into the handler; false once the connection is broken.
    bool processEvents();
    void onEvent(std::function<void(const xcb_generic_event_t&)> handler) { onEvent_ = std::move(handler); }

    // One round trip: every event the server sent before its reply is queued when it returns.
    void sync();

    unsigned lastSent() const { return lastSent_; }
    std::uint64_t requests() const { return requests_; }
    std::uint64_t roundTrips() const { return roundTrips_; }
    std::uint64_t unexpectedErrors() const { return unexpectedErrors_; }
    const std::string& lastUnexpectedError() const { return lastUnexpected_; }

private:
    Connection() = default;
    void noteSent(unsigned sequence);
    void noteWait(unsigned sequence);

    xcb_connection_t* c_ = nullptr;
    xcb_screen_t* screen_ = nullptr;
    int screenNumber_ = 0;
    xcb_ewmh_connection_t ewmh_{};
    bool ewmhReady_ = false;
    ExtraAtoms extra_;
    bool hasXRes_ = false;
    bool hasXTest_ = false;
    bool hasMonitors_ = false;

    bool anySent_ = false;
    unsigned lastSent_ = 0;
    // Highest request on the wire when we last blocked: a reply to any request up to
    // it arrives without a new trip.
    unsigned coveredUpTo_ = 0;
    bool anyWait_ = false;
    std::uint64_t requests_ = 0;
    std::uint64_t roundTrips_ = 0;
    std::uint64_t unexpectedErrors_ = 0;
    std::string lastUnexpected_;
    std::function<void(const xcb_generic_event_t&)> onEvent_;
};

}  // namespace tarvolin::x11
