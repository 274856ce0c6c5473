#include "XMirror.h"

#include <xcb/randr.h>

#include <algorithm>
#include <iterator>

namespace tarvolin::x11 {

namespace {

// Waves a sync may need: one, a second for windows new in the list, and a third for changes
// that were on their way when the sync started.
constexpr int kMaxWaves = 4;
// Deeper than any window manager nests a client; bounds a walk up a chain gone stale.
constexpr int kMaxDepth = 16;

}  // namespace

Mirror::Mirror(Connection& c, Writer& writer) : c_(c), writer_(writer) { writer_.watch(c_.root()); }

void Mirror::markStale(xcb_window_t w, unsigned wants) {
    if (!wants || !windows_.count(w)) return;
    stale_[w] |= wants;
    staleBeforeSync_ = staleBeforeSync_ || changedBeforeSync_;
}

void Mirror::markListStale(bool stale) {
    if (!stale) return;
    listStale_ = true;
    staleBeforeSync_ = staleBeforeSync_ || changedBeforeSync_;
}

void Mirror::handle(const xcb_generic_event_t& ev) {
    // The root's children change: their order, and without a window manager's list the list.
    const auto topLevelsChange = [&](xcb_window_t event) { markListStale(event == c_.root()); };
    // An event carries the last of our requests the server had seen when it happened.
    changedBeforeSync_ =
        syncStart_ && static_cast<std::int16_t>(static_cast<std::uint16_t>(ev.sequence - *syncStart_)) < 0;
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
            topLevelsChange(e.event);
            break;
        }
        case XCB_MAP_NOTIFY: {
            const auto& e = reinterpret_cast<const xcb_map_notify_event_t&>(ev);
            markStale(e.window, kWantFrame);
            topLevelsChange(e.event);
            break;
        }
        case XCB_UNMAP_NOTIFY:
            topLevelsChange(reinterpret_cast<const xcb_unmap_notify_event_t&>(ev).event);
            break;
        case XCB_REPARENT_NOTIFY: {
            const auto& e = reinterpret_cast<const xcb_reparent_notify_event_t&>(ev);
            markStale(e.window, kWantFrame);
            if (parentOf_.erase(e.window)) ancestors_.push_back(e.window);  // an ancestor moved: asked again
            topLevelsChange(e.event);
            break;
        }
        case XCB_DESTROY_NOTIFY: {
            // X reuses ids: nothing known about this one may outlive it.
            const auto& e = reinterpret_cast<const xcb_destroy_notify_event_t&>(ev);
            const xcb_window_t w = e.window;
            if (windows_.erase(w)) ++generation_;
            stale_.erase(w);
            forgetMember(w);
            clientOfFrame_.erase(w);
            parentOf_.erase(w);
            topLevelsChange(e.event);
            break;
        }
        default:
            break;
    }
}

void Mirror::sync() {
    // The sync stands for the moment its first request reaches the server. Events that
    // happened before it (those already here and those its replies bring along) make what they
    // name stale for this sync; events that happened after it wait for the next sync, as a
    // survey started at the same moment would not see them either.
    syncStart_.reset();
    c_.processEvents();
    staleBeforeSync_ = false;
    syncStart_ = c_.lastSent() + 1;
    for (int wave = 0; wave < kMaxWaves && !c_.broken(); ++wave) {
        if (wave > 0 && !staleBeforeSync_ && unread_.empty() && ancestors_.empty()) break;
        staleBeforeSync_ = false;
        std::optional<xcb_randr_get_monitors_cookie_t> monitors;
        if (wave == 0 && c_.hasMonitors()) monitors = c_.sent(xcb_randr_get_monitors(c_.xcb(), c_.root(), 1));
        if (listStale_ || !stale_.empty() || !unread_.empty() || !ancestors_.empty())
            refresh();
        else if (!monitors)
            c_.sync();  // nothing known to be stale: the trip brings the events on their way
        if (monitors) readMonitors(*monitors);
        c_.processEvents();
    }
    syncStart_.reset();
}

void Mirror::readMonitors(xcb_randr_get_monitors_cookie_t cookie) {
    auto r = c_.reply(xcb_randr_get_monitors_reply, cookie);
    if (!r) return;
    std::vector<Monitor> found;
    for (auto it = xcb_randr_get_monitors_monitors_iterator(r.get()); it.rem;
         xcb_randr_monitor_info_next(&it))
        found.push_back({it.data->x, it.data->y, it.data->width, it.data->height, it.data->primary != 0});
    if (found != monitors_) ++generation_;
    monitors_ = std::move(found);
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
    std::vector<std::pair<xcb_window_t, xcb_query_tree_cookie_t>> ancestors;
    for (xcb_window_t a : ancestors_) {
        writer_.watch(a);  // its end or move is heard of, so what is learned of it does not outlive it
        ancestors.emplace_back(a, c_.sent(xcb_query_tree(c_.xcb(), a)));
    }
    const bool readList = listStale_;
    listStale_ = false;
    stale_.clear();
    unread_.clear();

    Survey s = survey(c_, ids, wants, readList);
    for (const auto& [a, cookie] : ancestors) {
        ErrorReply error;
        if (auto r = c_.reply(xcb_query_tree_reply, cookie, &error)) parentOf_[a] = r->parent;
        if (error && !Connection::isVanished(*error)) c_.noteUnexpected(*error);
    }
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
            forgetMember(ids[i]);
        }
    }
    if (s.clients) adoptClientList(std::move(*s.clients));
    restack();
    ++generation_;
}

void Mirror::restack() {
    // Front to back is the stacking of the root's children: the window manager's frames, or the
    // clients themselves where nothing reparents them. A client stands where its top-level
    // ancestor does; the window manager's list orders clients that share one, and puts last
    // those whose ancestor is not known yet. The active window gets no place of its own.
    std::unordered_map<xcb_window_t, std::size_t> rank;
    for (std::size_t i = 0; i < clients_.topLevels.size(); ++i) rank[clients_.topLevels[i]] = i + 1;
    std::vector<std::pair<std::size_t, xcb_window_t>> ranked;
    ancestors_.clear();
    for (xcb_window_t w : clients_.frontFirst) {
        auto f = windows_.find(w);
        xcb_window_t x = w, up = f == windows_.end() ? XCB_NONE : f->second.parent;
        for (int depth = 0; depth < kMaxDepth && !rank.count(x) && up != XCB_NONE && up != c_.root();
             ++depth) {
            x = up;
            auto p = parentOf_.find(x);
            up = p == parentOf_.end() ? XCB_NONE : p->second;
            if (p == parentOf_.end() && !rank.count(x)) ancestors_.push_back(x);  // asked in the next wave
        }
        auto r = rank.find(x);
        ranked.emplace_back(r == rank.end() ? 0 : r->second, w);
    }
    std::stable_sort(ranked.begin(), ranked.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    order_.clear();
    for (const auto& [r, w] : ranked) order_.push_back(w);
    std::sort(ancestors_.begin(), ancestors_.end());
    ancestors_.erase(std::unique(ancestors_.begin(), ancestors_.end()), ancestors_.end());
}

void Mirror::forgetMember(xcb_window_t w) {
    // Should the id be listed again (X reuses ids), it is a new window to read.
    if (auto it = std::lower_bound(members_.begin(), members_.end(), w); it != members_.end() && *it == w)
        members_.erase(it);
}

void Mirror::adoptClientList(ClientList list) {
    // A restack leaves the members as they were: compared as sorted ids, that costs no walk of
    // the window table.
    std::vector<xcb_window_t> members = list.frontFirst;
    std::sort(members.begin(), members.end());
    members.erase(std::unique(members.begin(), members.end()), members.end());
    if (members != members_) {
        std::vector<xcb_window_t> gone, added;
        std::set_difference(members_.begin(), members_.end(), members.begin(), members.end(),
                            std::back_inserter(gone));
        std::set_difference(members.begin(), members.end(), members_.begin(), members_.end(),
                            std::back_inserter(added));
        for (xcb_window_t w : gone) {
            windows_.erase(w);
            stale_.erase(w);
        }
        for (xcb_window_t w : added)
            if (!windows_.count(w)) unread_.push_back(w);
        members_ = std::move(members);
    }
    clients_ = std::move(list);
}

std::vector<const WindowFacts*> Mirror::frontFirst() const {
    std::vector<const WindowFacts*> out;
    out.reserve(order_.size());
    for (xcb_window_t w : order_)
        if (auto it = windows_.find(w); it != windows_.end()) out.push_back(&it->second);
    return out;
}

const WindowFacts* Mirror::find(xcb_window_t w) const {
    auto it = windows_.find(w);
    return it == windows_.end() ? nullptr : &it->second;
}

}  // namespace tarvolin::x11
