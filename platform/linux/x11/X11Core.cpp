#include "X11Core.h"

#include <algorithm>
#include <fstream>
#include <set>

namespace tarvolin::x11 {

Core::Core(std::unique_ptr<Connection> connection) : conn_(std::move(connection)), writer_(*conn_) {}

const AppRecord* Core::Applications::find(std::int32_t pid) const {
    auto it = std::find_if(apps.begin(), apps.end(), [pid](const AppRecord& a) { return a.pid == pid; });
    return it == apps.end() ? nullptr : &*it;
}

Core::Applications Core::applications(unsigned wants) {
    Applications out;
    out.survey = surveyManaged(*conn_, wants | kWantPid | kWantClass);
    std::map<std::int32_t, AppRecord> byPid;
    std::map<std::int32_t, xcb_window_t> namedBy;
    std::map<std::int32_t, bool> iconSet;  // the oldest (lowest id) window with a class names the app
    for (const WindowFacts& w : out.survey.windows) {
        if (!w.pid || *w.pid == 0 || *w.pid > static_cast<std::uint32_t>(INT32_MAX)) continue;
        auto pid = static_cast<std::int32_t>(*w.pid);
        AppRecord& app = byPid[pid];
        app.pid = pid;
        app.frontFirst.push_back(w.id);
        if (w.wmClass && (!app.name || w.id < namedBy[pid])) {
            app.name = w.wmClass;
            namedBy[pid] = w.id;
        }
        // The oldest window with an icon stands for the app; the oldest of all when none has one.
        if (app.iconWindow == XCB_NONE || (w.hasIcon && !iconSet[pid]) ||
            (w.hasIcon == iconSet[pid] && w.id < app.iconWindow)) {
            app.iconWindow = w.id;
            iconSet[pid] = w.hasIcon;
        }
    }
    for (auto& [pid, app] : byPid) {
        if (!app.name) app.name = processName(pid);
        out.apps.push_back(std::move(app));
    }
    return out;
}

std::vector<Image> Core::icons(const std::vector<AppRecord>& apps) {
    std::set<std::pair<xcb_window_t, std::int32_t>> live;
    for (const AppRecord& app : apps)
        for (xcb_window_t w : app.frontFirst) live.emplace(w, app.pid);
    std::erase_if(iconCache_, [&](const auto& entry) { return !live.count(entry.first); });
    std::vector<xcb_window_t> missing;
    std::vector<std::pair<xcb_window_t, std::int32_t>> missingKeys;
    for (const AppRecord& app : apps) {
        if (iconCache_.count({app.iconWindow, app.pid})) continue;
        missing.push_back(app.iconWindow);
        missingKeys.emplace_back(app.iconWindow, app.pid);
    }
    std::vector<Image> fetched = readIcons(*conn_, missing);
    for (size_t i = 0; i < missing.size(); ++i) iconCache_[missingKeys[i]] = fetched[i];
    std::vector<Image> out;
    out.reserve(apps.size());
    for (const AppRecord& app : apps) out.push_back(iconCache_[{app.iconWindow, app.pid}]);
    return out;
}

std::optional<xcb_window_t> Core::frontWindow(const std::vector<const WindowFacts*>& frontFirst,
                                              const xcb_ewmh_connection_t& atoms) {
    for (const WindowFacts* w : frontFirst)
        if (!w->hasState(atoms._NET_WM_STATE_HIDDEN)) return w->id;
    if (!frontFirst.empty()) return frontFirst.front()->id;
    return std::nullopt;
}

std::optional<std::string> processName(std::int32_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    if (!in || !std::getline(in, name) || name.empty()) return std::nullopt;
    return name;
}

}  // namespace tarvolin::x11
