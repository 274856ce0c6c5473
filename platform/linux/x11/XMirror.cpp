#include "XMirror.h"

#include <unordered_set>

namespace tarvolin::x11 {

namespace {

// A desktop changing faster than this many waves per sync is answered as of the last wave.
constexpr int kMaxWaves = 8;

}  // namespace

Mirror::Mirror(Connection& c, Writer& writer) : c_(c), writer_(writer) { writer_.watch(c_.root()); }

void Mirror::markStale(xcb_window_t w, unsigned wants) {
    if (!wants || !windows_.count(w)) return;
    stale_[w] |= wants;
    staleBeforeWave_ = staleBeforeWave_ || changedBeforeWave_;
}

void Mirror::markListStale(bool stale) {
    if (!stale) return;
    listStale_ = true;
    staleBeforeWave_ = staleBeforeWave_ || changedBeforeWave_;
}

void Mirror::handle(const xcb_generic_event_t& ev) {
    // Without a window manager's list the root's children are the list.
    const bool bare = !clients_.ewmh;
    // An event carries the last of our requests the server had seen when it happened.
    changedBeforeWave_ =
        waveStart_ && static_cast<std::int16_t>(static_cast<std::uint16_t>(ev.sequence - *waveStart_)) < 0;
    switch (ev.response_type & 0x7f) {
        case XCB_PROPERTY_NOTIFY: {
            const auto& e = reinterpret_cast<const xcb_property_notify_event_t&>(ev);
            if (e.window == c_.root())
                markListStale(isClientListProperty(c_, e.atom));
            else
                markStale(e.window, wantsForProperty(c_, e.atom));
            break;
        }
        case XCB_CONFIGURE_NOTIFY: {  // synthetic ones too: the window manager's word for a move
            const auto& e = reinterpret_cast<const xcb_configure_notify_event_t&>(ev);
            markStale(e.window, kWantFrame);
            if (auto it = clientOfFrame_.find(e.window); it != clientOfFrame_.end())
                markStale(it->second, kWantFrame);
            markListStale(bare && e.event == c_.root());
            break;
        }
        case XCB_MAP_NOTIFY: {
            const auto& e = reinterpret_cast<const xcb_map_notify_event_t&>(ev);
            markStale(e.window, kWantFrame);
            markListStale(bare && e.event == c_.root());
            break;
        }
        case XCB_UNMAP_NOTIFY: {
            const auto& e = reinterpret_cast<const xcb_unmap_notify_event_t&>(ev);
            markListStale(bare && e.event == c_.root());
            break;
        }
        case XCB_REPARENT_NOTIFY:
            markStale(reinterpret_cast<const xcb_reparent_notify_event_t&>(ev).window, kWantFrame);
            break;
        case XCB_DESTROY_NOTIFY: {
            // X reuses ids: nothing known about this one may outlive it.
            xcb_window_t w = reinterpret_cast<const xcb_destroy_notify_event_t&>(ev).window;
            if (windows_.erase(w)) ++generation_;
            stale_.erase(w);
            clientOfFrame_.erase(w);
            markListStale(bare);
            break;
        }
        default:
            break;
    }
}

void Mirror::sync() {
    // A wave reads what is stale; the events its replies bring show what changed before the
    // wave started, which takes one more wave, and what changed after, which waits for the
    // next sync as a full survey started at the same moment would not see it either.
    waveStart_.reset();
    c_.processEvents();
    for (int wave = 0; wave < kMaxWaves && !c_.broken(); ++wave) {
        if (wave > 0 && !staleBeforeWave_ && unread_.empty()) break;
        staleBeforeWave_ = false;
        waveStart_ = c_.lastSent() + 1;
        if (!listStale_ && stale_.empty() && unread_.empty())
            c_.sync();  // nothing known to be stale: the trip brings the events on their way
        else
            refresh();
        c_.processEvents();
    }
    waveStart_.reset();
}

void Mirror::refresh() {
    std::vector<xcb_window_t> ids;
    std::vector<unsigned> wants;
    for (xcb_window_t w : unread_) {
        // Watched before it is read, so that no change after the read goes unseen.
        writer_.watch(w);
        ids.push_back(w);
        wants.push_back(kWantAll);
    }
    for (const auto& [w, stale] : stale_) {
        ids.push_back(w);
        wants.push_back(stale);
    }
    const bool readList = listStale_;
    listStale_ = false;
    stale_.clear();
    unread_.clear();

    Survey s = survey(c_, ids, wants, readList);
    size_t k = 0;
    for (size_t i = 0; i < ids.size(); ++i) {
        if (k < s.windows.size() && s.windows[k].id == ids[i]) {
            WindowFacts& f = s.windows[k++];
            WindowFacts* kept = nullptr;
            if (wants[i] == kWantAll) {
                kept = &(windows_[ids[i]] = std::move(f));
            } else if (auto it = windows_.find(ids[i]); it != windows_.end()) {
                it->second.assign(f, wants[i]);
                kept = &it->second;
            }
            if (kept && kept->parent != XCB_NONE && kept->parent != c_.root())
                clientOfFrame_[kept->parent] = ids[i];
        } else {
            windows_.erase(ids[i]);  // it vanished
        }
    }
    if (s.clients) adoptClientList(std::move(*s.clients));
    ++generation_;
}

void Mirror::adoptClientList(ClientList list) {
    std::unordered_set<xcb_window_t> listed(list.frontFirst.begin(), list.frontFirst.end());
    std::erase_if(windows_, [&](const auto& entry) { return !listed.count(entry.first); });
    std::erase_if(stale_, [&](const auto& entry) { return !listed.count(entry.first); });
    for (xcb_window_t w : list.frontFirst)
        if (!windows_.count(w) && listed.erase(w)) unread_.push_back(w);
    clients_ = std::move(list);
}

std::vector<const WindowFacts*> Mirror::frontFirst() const {
    std::vector<const WindowFacts*> out;
    out.reserve(clients_.frontFirst.size());
    for (xcb_window_t w : clients_.frontFirst)
        if (auto it = windows_.find(w); it != windows_.end()) out.push_back(&it->second);
    return out;
}

const WindowFacts* Mirror::find(xcb_window_t w) const {
    auto it = windows_.find(w);
    return it == windows_.end() ? nullptr : &it->second;
}

}  // namespace tarvolin::x11
