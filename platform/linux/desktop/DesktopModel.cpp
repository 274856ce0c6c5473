#include "DesktopModel.h"

#include "ProcessName.h"

namespace tarvolin::desktop {

const Snapshot& DesktopModel::look() {
    if (looked_ && snapshot_) return *snapshot_;
    snapshot_ = &transport_->sync();
    ++turn_;
    if (!schedule_) return *snapshot_;
    looked_ = true;
    schedule_([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->looked_ = false;
    });
    return *snapshot_;
}

const Snapshot& DesktopModel::lastLook() { return snapshot_ ? *snapshot_ : look(); }

const std::vector<AppRecord>& DesktopModel::applications() {
    const Snapshot& s = lastLook();
    if (appsGeneration_ == s.generation) return apps_;
    std::map<std::int32_t, AppRecord> byPid;
    std::map<std::int32_t, std::int64_t> namedBy;
    std::map<std::int32_t, bool> frontShown, iconOwn;
    for (const Window& w : s.frontFirst) {
        if (!w.pid || *w.pid <= 0) continue;
        AppRecord& app = byPid[*w.pid];
        const bool first = app.frontFirst.empty();
        app.pid = *w.pid;
        app.frontFirst.push_back(w.id);
        if (first || (!w.minimised && !frontShown[app.pid])) {
            app.front = w.id;
            frontShown[app.pid] = !w.minimised;
        }
        // The oldest window with an app name names the process.
        if (w.app && (!app.app || w.id < namedBy[app.pid])) {
            app.app = w.app;
            namedBy[app.pid] = w.id;
        }
        // The oldest window with pixels of its own stands for it; the oldest of all when none has.
        const bool own = w.icon != 0;
        if (first || (own && !iconOwn[app.pid]) || (own == iconOwn[app.pid] && w.id < app.iconWindow)) {
            app.iconWindow = w.id;
            iconOwn[app.pid] = own;
        }
    }
    apps_.clear();
    for (auto& [pid, app] : byPid) {
        app.name = app.app ? app.app : processName(pid);
        apps_.push_back(std::move(app));
    }
    appsGeneration_ = s.generation;
    return apps_;
}

const AppRecord* DesktopModel::application(std::int32_t pid) {
    const auto& apps = applications();
    auto it = std::lower_bound(apps.begin(), apps.end(), pid,
                               [](const AppRecord& a, std::int32_t p) { return a.pid < p; });
    return it != apps.end() && it->pid == pid ? &*it : nullptr;
}

std::vector<Image> DesktopModel::icons(const std::vector<AppRecord>& apps) {
    const Snapshot& s = lastLook();
    std::vector<IconKey> keys;
    std::vector<const Window*> missing;
    std::vector<IconKey> missingKeys;
    for (const AppRecord& app : apps) {
        const Window* w = s.find(app.iconWindow);
        keys.push_back({app.iconWindow, app.pid, w ? w->icon : 0});
        if (w && w->icon && !iconCache_.count(keys.back())) {
            missing.push_back(w);
            missingKeys.push_back(keys.back());
        }
    }
    std::vector<Image> fetched = transport_->icons(missing);
    std::map<IconKey, Image> kept;  // only the icons still asked for
    for (size_t i = 0; i < missing.size() && i < fetched.size(); ++i) kept[missingKeys[i]] = fetched[i];
    std::vector<Image> out;
    out.reserve(apps.size());
    for (size_t i = 0; i < apps.size(); ++i) {
        if (auto it = iconCache_.find(keys[i]); it != iconCache_.end()) kept[keys[i]] = it->second;
        auto own = kept.find(keys[i]);
        out.push_back(own != kept.end() && own->second ? own->second : themeIcons_.iconFor(apps[i].app));
    }
    iconCache_ = std::move(kept);
    return out;
}

void DesktopModel::noteRaised(std::int32_t pid, std::int64_t window) {
    raised_ = Raised{pid, window, turn_};
    lastRaised_ = window;
}

std::optional<DesktopModel::Raised> DesktopModel::takeRaised(std::int32_t pid) {
    if (!raised_ || raised_->pid != pid) return std::nullopt;
    return std::exchange(raised_, std::nullopt);
}

}  // namespace tarvolin::desktop
