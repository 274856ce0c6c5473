#include "X11Core.h"

#include <algorithm>
#include <fstream>
#include <set>

namespace tarvolin::x11 {

Core::Core(std::unique_ptr<Connection> connection) : conn_(std::move(connection)), writer_(*conn_) {
    conn_->onDestroyed([this](xcb_window_t w) { identities_.erase(w); });
}

Survey Core::managed(unsigned wants) {
    ClientList clients = readClientList(*conn_);
    // Every destruction that happened before the list was read has arrived by now:
    // the server sends events and replies in order.
    conn_->processEvents();
    std::set<xcb_window_t> present(clients.frontFirst.begin(), clients.frontFirst.end());
    std::erase_if(identities_, [&](const auto& entry) { return !present.count(entry.first); });

    const unsigned identity = kWantPid | kWantClass;
    const bool wantIdentity = (wants & identity) != 0;
    std::vector<unsigned> asked(clients.frontFirst.size(), wants & ~identity);
    for (size_t i = 0; i < asked.size(); ++i) {
        xcb_window_t w = clients.frontFirst[i];
        if (!wantIdentity || identities_.count(w)) continue;
        // Watched before it is asked about, so that its end cannot go unnoticed.
        writer_.watch(w);
        asked[i] |= identity;
    }
    Survey s = survey(*conn_, clients.frontFirst, asked);
    if (wantIdentity) {
        for (WindowFacts& f : s.windows) {
            if (auto it = identities_.find(f.id); it != identities_.end()) {
                f.pid = it->second.pid;
                f.wmClass = it->second.wmClass;
            } else {
                identities_[f.id] = Identity{f.pid, f.wmClass};
            }
        }
    }
    s.clients = std::move(clients);
    return s;
}

const AppRecord* Core::Applications::find(std::int32_t pid) const {
    auto it = std::find_if(apps.begin(), apps.end(), [pid](const AppRecord& a) { return a.pid == pid; });
    return it == apps.end() ? nullptr : &*it;
}

Core::Applications Core::applications(unsigned wants) {
    Applications out;
    out.survey = managed(wants | kWantPid | kWantClass);
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
    // An app may set its icon after mapping its window: only an icon found is kept.
    for (size_t i = 0; i < missing.size(); ++i)
        if (fetched[i]) iconCache_[missingKeys[i]] = fetched[i];
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

std::optional<std::string> processName(std::int32_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    if (!in || !std::getline(in, name) || name.empty()) return std::nullopt;
    return name;
}

}  // namespace tarvolin::x11
