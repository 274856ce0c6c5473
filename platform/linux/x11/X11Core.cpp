#include "X11Core.h"

#include <algorithm>

namespace tarvolin::x11 {

Core::Core(std::unique_ptr<Connection> connection)
    : conn_(std::move(connection)), writer_(*conn_), mirror_(*conn_, writer_) {
    conn_->onEvent([this](const xcb_generic_event_t& ev) { handle(ev); });
}

void Core::handle(const xcb_generic_event_t& ev) {
    mirror_.handle(ev);
    // A new icon, or a window gone whose id may come back with another owner: read it again.
    xcb_window_t changed = XCB_NONE;
    if ((ev.response_type & 0x7f) == XCB_DESTROY_NOTIFY)
        changed = reinterpret_cast<const xcb_destroy_notify_event_t&>(ev).window;
    else if (const auto& p = reinterpret_cast<const xcb_property_notify_event_t&>(ev);
             (ev.response_type & 0x7f) == XCB_PROPERTY_NOTIFY && p.atom == conn_->atoms()._NET_WM_ICON)
        changed = p.window;
    if (changed != XCB_NONE)
        std::erase_if(iconCache_, [&](const auto& entry) { return entry.first.first == changed; });
}

void Core::fresh() {
    if (fresh_) return;
    mirror_.sync();
    ++turn_;
    if (!lapse_) return;
    fresh_ = true;
    lapse_([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->fresh_ = false;
    });
}

Core::Origin Core::primaryOrigin() const {
    const auto& monitors = mirror_.monitors();
    if (monitors.empty()) return {};
    auto primary = std::find_if(monitors.begin(), monitors.end(), [](const Monitor& m) { return m.primary; });
    const Monitor& m = primary == monitors.end() ? monitors.front() : *primary;
    return {m.x, m.y};
}

const std::vector<AppRecord>& Core::applications() {
    if (appsGeneration_ == mirror_.generation()) return apps_;
    std::map<std::int32_t, AppRecord> byPid;
    std::map<std::int32_t, std::vector<const WindowFacts*>> windowsOf;
    std::map<std::int32_t, bool> iconSet;  // the oldest (lowest id) window with a class names the app
    std::map<std::int32_t, xcb_window_t> namedBy;
    for (const WindowFacts* w : mirror_.frontFirst()) {
        if (!w->pid || *w->pid == 0 || *w->pid > static_cast<std::uint32_t>(INT32_MAX)) continue;
        auto pid = static_cast<std::int32_t>(*w->pid);
        AppRecord& app = byPid[pid];
        app.pid = pid;
        app.frontFirst.push_back(w->id);
        windowsOf[pid].push_back(w);
        if (w->wmClass && (!app.name || w->id < namedBy[pid])) {
            app.name = w->wmClass;
            namedBy[pid] = w->id;
        }
        // The oldest window with an icon stands for the app; the oldest of all when none has one.
        if (app.iconWindow == XCB_NONE || (w->hasIcon && !iconSet[pid]) ||
            (w->hasIcon == iconSet[pid] && w->id < app.iconWindow)) {
            app.iconWindow = w->id;
            iconSet[pid] = w->hasIcon;
        }
    }
    apps_.clear();
    for (auto& [pid, app] : byPid) {
        if (!app.name) app.name = processName(pid);
        app.front = *frontWindow(windowsOf[pid], conn_->atoms());
        apps_.push_back(std::move(app));
    }
    appsGeneration_ = mirror_.generation();
    return apps_;
}

const AppRecord* Core::application(std::int32_t pid) {
    const auto& apps = applications();
    auto it = std::lower_bound(apps.begin(), apps.end(), pid,
                               [](const AppRecord& a, std::int32_t p) { return a.pid < p; });
    return it != apps.end() && it->pid == pid ? &*it : nullptr;
}

std::vector<Image> Core::icons(const std::vector<AppRecord>& apps) {
    std::vector<xcb_window_t> missing;
    std::vector<std::pair<xcb_window_t, std::int32_t>> missingKeys;
    for (const AppRecord& app : apps) {
        const WindowFacts* w = mirror_.find(app.iconWindow);
        if (!w || !w->hasIcon || iconCache_.count({app.iconWindow, app.pid})) continue;
        missing.push_back(app.iconWindow);
        missingKeys.emplace_back(app.iconWindow, app.pid);
    }
    std::vector<Image> fetched = readIcons(*conn_, missing);
    for (size_t i = 0; i < missing.size(); ++i) iconCache_[missingKeys[i]] = fetched[i];
    std::vector<Image> out;
    out.reserve(apps.size());
    for (const AppRecord& app : apps) {
        auto it = iconCache_.find({app.iconWindow, app.pid});
        out.push_back(it == iconCache_.end() ? Image() : it->second);
    }
    return out;
}

std::optional<xcb_window_t> Core::frontWindow(const std::vector<const WindowFacts*>& frontFirst,
                                              const xcb_ewmh_connection_t& atoms) {
    for (const WindowFacts* w : frontFirst)
        if (!w->hasState(atoms._NET_WM_STATE_HIDDEN)) return w->id;
    if (!frontFirst.empty()) return frontFirst.front()->id;
    return std::nullopt;
}

}  // namespace tarvolin::x11
