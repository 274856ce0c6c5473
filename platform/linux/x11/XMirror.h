#pragma once

#include "XConnection.h"
#include "XWindows.h"
#include "XWriter.h"

#include <xcb/randr.h>

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

namespace tarvolin::x11 {

// A RandR monitor in root coordinates.
struct Monitor {
    std::int32_t x = 0, y = 0;
    std::uint32_t width = 0, height = 0;
    bool primary = false;
    bool operator==(const Monitor&) const = default;
};

// The window manager's state as the X server's events tell it: the client list and every
// managed window's facts. An event makes only what it names stale; a sync re-reads all that
// is stale in one pipelined batch, so an unchanged desktop costs one round trip.
class Mirror {
public:
    // Watches the root from here on; the first sync reads everything.
    Mirror(Connection& c, Writer& writer);

    void handle(const xcb_generic_event_t& ev);

    // Up to date with everything the server did before the call.
    void sync();

    const ClientList& clients() const { return clients_; }
    // The monitors as of the last sync (asked with it: they cost no trip of their own); none
    // without RandR 1.5.
    const std::vector<Monitor>& monitors() const { return monitors_; }
    // The managed windows, front first.
    std::vector<const WindowFacts*> frontFirst() const;
    // A managed window's facts; null for any other window.
    const WindowFacts* find(xcb_window_t w) const;
    // Changes whenever anything in the mirror does.
    std::uint64_t generation() const { return generation_; }

private:
    void markStale(xcb_window_t w, unsigned wants);
    void markListStale(bool stale);
    void refresh();
    void readMonitors(xcb_randr_get_monitors_cookie_t cookie);
    void adoptClientList(ClientList list);
    void restack();
    void forgetMember(xcb_window_t w);

    Connection& c_;
    Writer& writer_;
    ClientList clients_;
    std::vector<Monitor> monitors_;
    std::unordered_map<xcb_window_t, WindowFacts> windows_;
    std::unordered_map<xcb_window_t, unsigned> stale_;
    // Frames move without a word to their client (an iconify animation): the root tells.
    std::unordered_map<xcb_window_t, xcb_window_t> clientOfFrame_;
    // Windows between a client and its top-level ancestor: their parents, learned once.
    std::unordered_map<xcb_window_t, xcb_window_t> parentOf_;
    std::vector<xcb_window_t> ancestors_;  // whose parents are to be asked
    std::vector<xcb_window_t> order_;      // the clients, front first
    // The listed windows, sorted, less those known to be gone; each is read or unread.
    std::vector<xcb_window_t> members_;
    std::vector<xcb_window_t> unread_;  // listed but not read yet
    bool listStale_ = true;
    std::optional<unsigned> syncStart_;  // the first request of the sync under way
    bool changedBeforeSync_ = false;     // of the event being handled
    bool staleBeforeSync_ = false;
    std::uint64_t generation_ = 0;
};

}  // namespace tarvolin::x11
