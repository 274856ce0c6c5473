#pragma once

#include "XConnection.h"
#include "platform/Image.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvolin::x11 {

// What the window manager tells about the managed windows, read in one round trip.
struct ClientList {
    bool ewmh = false;                  // a window manager publishes _NET_SUPPORTED
    std::vector<xcb_atom_t> supported;  // sorted
    std::vector<xcb_window_t> frontFirst;
    std::vector<xcb_window_t> topLevels;  // the root's children, bottom to top
    xcb_window_t active = XCB_NONE;
    std::optional<std::uint32_t> currentDesktop;

    bool supports(xcb_atom_t atom) const;
    bool operator==(const ClientList&) const = default;
};

// Which facts a read asks for; each one costs one or more requests per window.
enum Want : unsigned {
    kWantPid = 1u << 0,
    kWantTitle = 1u << 1,
    kWantKind = 1u << 2,  // window type and state
    kWantAlpha = 1u << 3,
    kWantFrame = 1u << 4,
    kWantClass = 1u << 5,
    kWantCloseInfo = 1u << 6,  // allowed actions and WM_PROTOCOLS
    kWantIconProbe = 1u << 7,  // whether _NET_WM_ICON is set, without its pixels
    kWantDesktop = 1u << 8,
    kWantAll = (1u << 9) - 1,
};

// The facts a change of `property` on a client window makes stale (0: none we keep).
unsigned wantsForProperty(const Connection& c, xcb_atom_t property);
// True for the root properties a client list is read from.
bool isClientListProperty(const Connection& c, xcb_atom_t property);

struct FrameExtents {
    std::uint32_t left = 0, right = 0, top = 0, bottom = 0;
    bool operator==(const FrameExtents&) const = default;
};

struct Frame {
    std::int32_t x = 0, y = 0;            // root coordinates of the frame's top-left corner
    std::uint32_t width = 0, height = 0;  // with the client's X border on both sides
    std::uint32_t border = 0;
    FrameExtents extents;
    bool operator==(const Frame&) const = default;
};

struct WindowFacts {
    xcb_window_t id = XCB_NONE;
    std::optional<std::uint32_t> pid;
    std::optional<std::string> title;
    std::vector<xcb_atom_t> types;
    std::vector<xcb_atom_t> states;
    std::optional<double> alpha;  // none: no opacity set
    std::optional<Frame> frame;
    std::optional<std::string> wmClass;  // the class part of WM_CLASS
    bool allowedActionsKnown = false;
    std::vector<xcb_atom_t> allowedActions;
    std::vector<xcb_atom_t> protocols;
    bool hasIcon = false;
    std::optional<std::uint32_t> desktop;  // 0xFFFFFFFF: on every desktop
    xcb_window_t parent = XCB_NONE;        // with the frame: the window manager's frame, or the root

    bool hasState(xcb_atom_t a) const;
    bool hasProtocol(xcb_atom_t a) const;
    bool operator==(const WindowFacts&) const = default;
    // Takes over the facts `wants` names from `fresher`.
    void assign(const WindowFacts& fresher, unsigned wants);
};

struct Survey {
    std::optional<ClientList> clients;
    std::vector<WindowFacts> windows;  // in the order asked, less the windows that vanished
};

// Reads facts about many windows with every request on the wire before the first
// reply is awaited. With `withClientList`, the client list rides in the same trip.
Survey survey(Connection& c, const std::vector<xcb_window_t>& ids, unsigned wants,
              bool withClientList = false);
// The same with the facts asked chosen per window (`wants[i]` for `ids[i]`).
Survey survey(Connection& c, const std::vector<xcb_window_t>& ids, const std::vector<unsigned>& wants,
              bool withClientList = false);

// Window layer in the platform's levels; none for desktop windows, which are never listed.
std::optional<std::int64_t> layerOf(const WindowFacts& w, const xcb_ewmh_connection_t& atoms);

// True when the window may be closed politely: it speaks WM_DELETE_WINDOW and the
// window manager (when it says) allows closing it.
bool closable(const WindowFacts& w, const ExtraAtoms& extra, const xcb_ewmh_connection_t& atoms);

// Icons from _NET_WM_ICON, one per window asked (an empty image where none), pipelined.
std::vector<Image> readIcons(Connection& c, const std::vector<xcb_window_t>& ids);

// The best icon of a _NET_WM_ICON value: the smallest at least `want` pixels on each
// side, else the largest; ARGB converted to premultiplied. Empty when malformed.
Image iconFromCardinals(const std::uint32_t* data, size_t count, int want = 32);

// Text as UTF-8 with every malformed sequence replaced by U+FFFD.
std::string sanitizedUtf8(std::string_view bytes);
std::string latin1ToUtf8(std::string_view bytes);

}  // namespace tarvolin::x11
