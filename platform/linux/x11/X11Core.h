#pragma once

#include "XConnection.h"
#include "XMirror.h"
#include "XWindows.h"
#include "XWriter.h"
#include "platform/Value.h"
#include "platform/linux/desktop/ProcessName.h"
#include "platform/linux/desktop/SynthesizedElements.h"

#include <algorithm>
#include <functional>
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
    xcb_window_t front = XCB_NONE;         // the front-most that is not minimised, else the front-most
    xcb_window_t iconWindow = XCB_NONE;    // the window whose icon stands for it
};

// The state every X11 service shares. Elements keep it alive, so an element that
// outlives the services still answers (with an error once the connection is gone).
class Core : public std::enable_shared_from_this<Core> {
public:
    explicit Core(std::unique_ptr<Connection> connection);

    Connection& conn() { return *conn_; }
    Writer& writer() { return writer_; }

    // Brings the mirror up to date, once per turn of the caller's loop (see lapseSyncsWith).
    void fresh();
    const Mirror& mirror() const { return mirror_; }
    // A sync stays good until the task handed to `schedule` runs; a run loop's "soon" makes
    // every question of one command share one sync. Without it every question syncs.
    void lapseSyncsWith(std::function<void(std::function<void()>)> schedule) { lapse_ = std::move(schedule); }

    // The primary monitor's top-left corner (the first monitor's when none is marked) in root
    // coordinates: every position the services give or take is measured from it.
    struct Origin {
        std::int32_t x = 0, y = 0;
    };
    Origin primaryOrigin() const;

    // The processes owning managed windows, in pid order, as of the last sync.
    const std::vector<AppRecord>& applications();
    const AppRecord* application(std::int32_t pid);

    // The icons of the apps' icon windows, the missing ones read in one batch and kept while
    // the window and its icon stay.
    std::vector<Image> icons(const std::vector<AppRecord>& apps);

    // One element per window / process while anyone holds it, so equal handles mean the same element.
    AXElement windowElement(xcb_window_t window, std::int32_t pid);
    AXElement applicationElement(std::int32_t pid);

    // The window manager restacks after a request, not at once: a raise is remembered so that
    // bringing its process forward in the same turn knows it is done already.
    void noteRaised(std::int32_t pid, xcb_window_t window) {
        raised_ = Raised{pid, window, turn_};
        lastRaised_ = window;
    }
    struct RaisedWindow {
        xcb_window_t window;
        bool thisTurn;
    };
    std::optional<RaisedWindow> takeRaised(std::int32_t pid) {
        if (!raised_ || raised_->pid != pid) return std::nullopt;
        RaisedWindow out{raised_->window, raised_->turn == turn_};
        raised_.reset();
        return out;
    }
    // The window a keystroke meant for "the raised window" may go to.
    std::optional<xcb_window_t> lastRaised() const { return lastRaised_; }

    void setLog(std::function<void(const std::string&)> log) { log_ = std::move(log); }
    void log(const std::string& line) const {
        if (log_) log_(line);
    }

    // The front-most window of the list that is not minimised, else the front-most.
    static std::optional<xcb_window_t> frontWindow(const std::vector<const WindowFacts*>& frontFirst,
                                                   const xcb_ewmh_connection_t& atoms);

private:
    void handle(const xcb_generic_event_t& ev);

    std::unique_ptr<Connection> conn_;
    Writer writer_;
    Mirror mirror_;
    bool fresh_ = false;
    std::uint64_t turn_ = 0;
    std::function<void(std::function<void()>)> lapse_;
    std::function<void(const std::string&)> log_;

    std::vector<AppRecord> apps_;
    std::optional<std::uint64_t> appsGeneration_;

    synthesized::ElementTable<xcb_window_t, WindowNode> windowNodes_;
    synthesized::ElementTable<std::int32_t, ApplicationNode> appNodes_;
    struct Raised {
        std::int32_t pid;
        xcb_window_t window;
        std::uint64_t turn;
    };
    std::optional<Raised> raised_;
    std::optional<xcb_window_t> lastRaised_;
    // By window and owner: X reuses the ids of windows that are gone.
    std::map<std::pair<xcb_window_t, std::int32_t>, Image> iconCache_;
};

}  // namespace tarvolin::x11
