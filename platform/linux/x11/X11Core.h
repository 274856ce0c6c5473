#pragma once

#include "XConnection.h"
#include "XWindows.h"
#include "XWriter.h"
#include "platform/Value.h"

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarvolin::x11 {

class WindowNode;
class ApplicationNode;

// A process that owns managed windows.
struct AppRecord {
    std::int32_t pid = 0;
    std::optional<std::string> name;
    std::vector<xcb_window_t> frontFirst;  // its managed windows
    xcb_window_t iconWindow = XCB_NONE;    // the window whose icon stands for it
};

// The state every X11 service shares. Elements keep it alive, so an element that
// outlives the services still answers (with an error once the connection is gone).
class Core : public std::enable_shared_from_this<Core> {
public:
    explicit Core(std::unique_ptr<Connection> connection);

    Connection& conn() { return *conn_; }
    Writer& writer() { return writer_; }

    // The managed windows, front first, with the facts asked for. The owner and class
    // of a window do not change while it lives: they are asked once per window, and
    // forgotten when the X server announces its end (X reuses window ids).
    Survey managed(unsigned wants);

    // The processes owning managed windows, in pid order, from one survey of the
    // managed windows with `wants` (pid and class are always asked).
    struct Applications {
        Survey survey;
        std::vector<AppRecord> apps;
        const AppRecord* find(std::int32_t pid) const;
    };
    Applications applications(unsigned wants = 0);

    // The icons of the apps' icon windows (cached while the window lives: an app's icon is read once).
    std::vector<Image> icons(const std::vector<AppRecord>& apps);

    // One element per window / process while anyone holds it, so equal handles mean the same element.
    AXElement windowElement(xcb_window_t window, std::int32_t pid);
    AXElement applicationElement(std::int32_t pid);

    // The window manager restacks after a request, not at once: a raise is remembered
    // so that bringing its process forward right after picks the raised window.
    void noteRaised(std::int32_t pid, xcb_window_t window) { raised_[pid] = window; }
    std::optional<xcb_window_t> takeRaised(std::int32_t pid) {
        auto it = raised_.find(pid);
        if (it == raised_.end()) return std::nullopt;
        xcb_window_t w = it->second;
        raised_.erase(it);
        return w;
    }

    // The front-most window of the list that is not minimised, else the front-most.
    static std::optional<xcb_window_t> frontWindow(const std::vector<const WindowFacts*>& frontFirst,
                                                   const xcb_ewmh_connection_t& atoms);

private:
    // Forgets the elements nobody holds, when the table has doubled since the last time.
    template <class Map>
    static void sweep(Map& nodes, size_t& sweepAt) {
        if (nodes.size() < sweepAt) return;
        std::erase_if(nodes, [](const auto& entry) { return entry.second.expired(); });
        sweepAt = std::max<size_t>(64, 2 * nodes.size());
    }

    std::unique_ptr<Connection> conn_;
    Writer writer_;
    std::map<xcb_window_t, std::weak_ptr<WindowNode>> windowNodes_;
    std::map<std::int32_t, std::weak_ptr<ApplicationNode>> appNodes_;
    std::map<std::int32_t, xcb_window_t> raised_;
    struct Identity {
        std::optional<std::uint32_t> pid;
        std::optional<std::string> wmClass;
    };
    std::map<xcb_window_t, Identity> identities_;
    size_t windowSweepAt_ = 64;
    size_t appSweepAt_ = 64;
    // By window and owner: X reuses the ids of windows that are gone.
    std::map<std::pair<xcb_window_t, std::int32_t>, Image> iconCache_;
};

// The process name from /proc; none when the process is gone or not local.
std::optional<std::string> processName(std::int32_t pid);

}  // namespace tarvolin::x11
