#include "X11Desktop.h"

#include "XMirror.h"

#include <algorithm>
#include <cstdio>

namespace tarvolin {

namespace x11 {

namespace {

constexpr xcb_keysym_t kKeysymControlL = 0xffe3;
constexpr xcb_keysym_t kKeysymW = 0x0077;

bool allows(const WindowFacts& w, xcb_atom_t action) {
    return !w.allowedActionsKnown || std::count(w.allowedActions.begin(), w.allowedActions.end(), action);
}

// X coordinates and sizes are 16-bit: what lies beyond is pinned to the edge.
std::int32_t coordinate(std::int64_t v) {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(v, -32768, 32767));
}

std::string hex(std::int64_t window) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(window));
    return text;
}

}  // namespace

// The X server's windows mapped onto the desktop model; every action goes through the writer.
class X11Transport final : public desktop::Transport {
public:
    explicit X11Transport(std::unique_ptr<Connection> c)
        : c_(std::move(c)), writer_(*c_), mirror_(*c_, writer_) {
        c_->onEvent([this](const xcb_generic_event_t& ev) {
            mirror_.handle(ev);
            // New pixels, or a window gone whose id may come back: the icon is read again.
            const auto type = ev.response_type & 0x7f;
            const auto& p = reinterpret_cast<const xcb_property_notify_event_t&>(ev);
            if (type == XCB_PROPERTY_NOTIFY && p.atom == c_->atoms()._NET_WM_ICON)
                iconVersions_[p.window] = ++iconSerial_;
            else if (type == XCB_DESTROY_NOTIFY)
                iconVersions_.erase(reinterpret_cast<const xcb_destroy_notify_event_t&>(ev).window);
        });
    }

    const Connection& connection() const { return *c_; }
    bool broken() const override { return c_->broken(); }
    int fd() const override { return c_->fd(); }
    bool processEvents() override { return c_->processEvents(); }

    const desktop::Snapshot& sync() override {
        mirror_.sync();
        if (mirror_.generation() == builtFrom_ && snapshot_.generation) return snapshot_;
        const auto& a = c_->atoms();
        snapshot_.frontFirst.clear();
        for (const WindowFacts* f : mirror_.frontFirst()) {
            desktop::Window w;
            w.id = f->id;
            if (f->pid && *f->pid > 0 && *f->pid <= INT32_MAX) w.pid = static_cast<std::int32_t>(*f->pid);
            w.title = f->title;
            w.app = f->wmClass;
            if (f->frame) w.frame = desktop::Box{f->frame->x, f->frame->y, f->frame->width, f->frame->height};
            w.layer = layerOf(*f, a);
            w.alpha = f->alpha.value_or(1.0);
            if (f->desktop) w.workspace = std::to_string(*f->desktop);
            w.minimised = f->hasState(a._NET_WM_STATE_HIDDEN);
            w.focused = mirror_.clients().active == f->id;
            w.canClose = closable(*f, c_->extra(), a);
            w.canMove = allows(*f, a._NET_WM_ACTION_MOVE);
            w.canMinimise = allows(*f, a._NET_WM_ACTION_MINIMIZE);
            if (f->hasIcon) w.icon = 1 + (iconVersions_.count(f->id) ? iconVersions_[f->id] : 0);
            snapshot_.frontFirst.push_back(std::move(w));
        }
        snapshot_.monitors.clear();
        for (const Monitor& m : mirror_.monitors())
            snapshot_.monitors.push_back({{m.x, m.y, m.width, m.height}, m.primary});
        // Without RandR monitors, the whole screen is the one monitor.
        if (snapshot_.monitors.empty())
            snapshot_.monitors.push_back(
                {{0, 0, c_->screen().width_in_pixels, c_->screen().height_in_pixels}, true});
        std::stable_partition(snapshot_.monitors.begin(), snapshot_.monitors.end(),
                              [](const desktop::Monitor& m) { return m.primary; });
        builtFrom_ = mirror_.generation();
        ++snapshot_.generation;
        return snapshot_;
    }

    bool focus(const desktop::Window& w) override {
        return act(w, [&](const WindowFacts& f) { writer_.activate(f, mirror_.clients()); });
    }
    bool raise(const std::vector<const desktop::Window*>& backToFront) override {
        for (const desktop::Window* w : backToFront)
            writer_.raise(static_cast<xcb_window_t>(w->id), mirror_.clients());
        return true;
    }
    bool close(const std::vector<const desktop::Window*>& windows) override {
        for (const desktop::Window* w : windows)
            writer_.close(static_cast<xcb_window_t>(w->id), mirror_.clients());
        return true;
    }
    bool move(const desktop::Window& w, std::int64_t x, std::int64_t y) override {
        writer_.moveResize(static_cast<xcb_window_t>(w.id), coordinate(x), coordinate(y), std::nullopt,
                           std::nullopt, mirror_.clients());
        return true;
    }
    bool resize(const desktop::Window& w, std::int64_t width, std::int64_t height) override {
        return act(w, [&](const WindowFacts& f) {
            // The size is the frame's; the window manager is asked for the client's, without
            // decorations and without the client's own X border.
            const Frame fr = f.frame.value_or(Frame{});
            auto inner = [](std::int64_t outer, std::int64_t deco) {
                return static_cast<std::uint32_t>(std::clamp<std::int64_t>(outer - deco, 1, 32767));
            };
            writer_.moveResize(f.id, std::nullopt, std::nullopt,
                               inner(width, fr.extents.left + fr.extents.right + 2 * fr.border),
                               inner(height, fr.extents.top + fr.extents.bottom + 2 * fr.border),
                               mirror_.clients());
        });
    }
    bool minimise(const desktop::Window& w, bool minimised) override {
        if (minimised) return act(w, [&](const WindowFacts& f) { writer_.iconify(f.id); });
        return focus(w);
    }

    ScriptResult closeKeystroke(std::optional<std::int64_t> raised) override {
        if (!c_->hasXTest()) return {false, {}, "the X server lacks the XTEST extension"};
        // The keystroke closes the window just raised; anywhere else it would close an unrelated one.
        if (raised != std::int64_t{mirror_.clients().active})
            return {false, {}, "the raised window " + hex(raised.value_or(0)) + " is not the active one"};
        auto control = keycodeFor(*c_, kKeysymControlL), w = keycodeFor(*c_, kKeysymW);
        if (!control || !w) return {false, {}, "the keyboard has no Control or W key"};
        writer_.keyChord(*control, *w);
        return {true, {}, {}};
    }

    std::vector<Image> icons(const std::vector<const desktop::Window*>& windows) override {
        std::vector<xcb_window_t> ids;
        for (const desktop::Window* w : windows) ids.push_back(static_cast<xcb_window_t>(w->id));
        return readIcons(*c_, ids);
    }

    // Derived from the requests sent.
    std::uint64_t roundTrips() const override { return c_->roundTrips(); }
    std::string name() const override { return "X11"; }
    std::string windowName(std::int64_t id) const override { return "X11 window " + hex(id); }

private:
    // Runs `action` on the window's facts as the mirror has them; false when it is gone.
    template <class Action>
    bool act(const desktop::Window& w, Action action) {
        const WindowFacts* f = mirror_.find(static_cast<xcb_window_t>(w.id));
        if (!f) return false;
        action(*f);
        return true;
    }

    std::unique_ptr<Connection> c_;
    Writer writer_;
    Mirror mirror_;
    desktop::Snapshot snapshot_;
    std::uint64_t builtFrom_ = 0;
    std::unordered_map<xcb_window_t, std::uint64_t> iconVersions_;
    std::uint64_t iconSerial_ = 0;
};

}  // namespace x11

X11Desktop::X11Desktop(std::unique_ptr<x11::X11Transport> transport, NotificationCenter& center,
                       desktop::BundleLookup lookup)
    : DesktopBackend(std::move(transport), center, std::move(lookup)),
      x11_(static_cast<const x11::X11Transport&>(model_->transport())) {}

std::unique_ptr<X11Desktop> X11Desktop::connect(const char* display, NotificationCenter& workspaceCenter,
                                                std::string& error, desktop::BundleLookup bundleLookup) {
    auto conn = x11::Connection::open(display, error);
    if (!conn) return nullptr;
    return std::unique_ptr<X11Desktop>(new X11Desktop(std::make_unique<x11::X11Transport>(std::move(conn)),
                                                      workspaceCenter, std::move(bundleLookup)));
}

std::uint64_t X11Desktop::requests() const { return x11_.connection().requests(); }
std::uint64_t X11Desktop::unexpectedErrors() const { return x11_.connection().unexpectedErrors(); }
std::string X11Desktop::lastUnexpectedError() const { return x11_.connection().lastUnexpectedError(); }

}  // namespace tarvolin
