#include "XWindows.h"

#include <xcb/res.h>

#include <algorithm>

namespace tarvolin::x11 {

namespace {

constexpr std::uint32_t kListLongs = 1u << 16;  // up to 65536 windows or atoms
constexpr std::uint32_t kTextLongs = 4096;      // titles and class names up to 16 KiB
constexpr std::uint32_t kIconLongs = 1u << 20;  // icons up to 4 MiB in all
constexpr std::uint32_t kMaxIconSide = 4096;

xcb_get_property_cookie_t askProperty(Connection& c, xcb_window_t w, xcb_atom_t atom, std::uint32_t longs) {
    return c.sent(xcb_get_property(c.xcb(), 0, w, atom, XCB_GET_PROPERTY_TYPE_ANY, 0, longs));
}

// Collects one property reply; a vanished window marks `vanished`, any other error counts as unexpected.
Reply<xcb_get_property_reply_t> collectProperty(Connection& c, xcb_get_property_cookie_t cookie,
                                                bool& vanished) {
    ErrorReply error;
    auto r = c.reply(xcb_get_property_reply, cookie, &error);
    if (error) {
        if (Connection::isVanished(*error))
            vanished = true;
        else
            c.noteUnexpected(*error);
        return nullptr;
    }
    return r;
}

std::vector<std::uint32_t> cardinals(const xcb_get_property_reply_t* r) {
    if (!r || r->format != 32) return {};
    const auto* data = static_cast<const std::uint32_t*>(xcb_get_property_value(r));
    auto n = static_cast<size_t>(xcb_get_property_value_length(r)) / 4;
    return {data, data + n};
}

std::optional<std::string_view> bytes(const xcb_get_property_reply_t* r) {
    if (!r || r->type == XCB_NONE || r->format != 8) return std::nullopt;
    std::string_view text(static_cast<const char*>(xcb_get_property_value(r)),
                          static_cast<size_t>(xcb_get_property_value_length(r)));
    // Some clients count a terminating NUL into the value.
    if (auto nul = text.find('\0'); nul != std::string_view::npos) text = text.substr(0, nul);
    return text;
}

bool contains(const std::vector<xcb_atom_t>& atoms, xcb_atom_t a) {
    return a != XCB_NONE && std::find(atoms.begin(), atoms.end(), a) != atoms.end();
}

std::int32_t clampToInt32(std::int64_t v) {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(v, INT32_MIN, INT32_MAX));
}

struct RootCookies {
    xcb_get_property_cookie_t supported, stacking, list, active, desktop;
    xcb_query_tree_cookie_t tree;
};

RootCookies askRoot(Connection& c) {
    const auto& a = c.atoms();
    return {askProperty(c, c.root(), a._NET_SUPPORTED, kListLongs),
            askProperty(c, c.root(), a._NET_CLIENT_LIST_STACKING, kListLongs),
            askProperty(c, c.root(), a._NET_CLIENT_LIST, kListLongs),
            askProperty(c, c.root(), a._NET_ACTIVE_WINDOW, 1),
            askProperty(c, c.root(), a._NET_CURRENT_DESKTOP, 1),
            c.sent(xcb_query_tree(c.xcb(), c.root()))};
}

// Without a window manager's list: the root's viewable, ordinary children.
std::vector<xcb_window_t> viewableTopLevels(Connection& c, const std::vector<xcb_window_t>& children) {
    const size_t n = children.size();
    std::vector<xcb_get_window_attributes_cookie_t> cookies;
    cookies.reserve(n);
    for (size_t i = 0; i < n; ++i) cookies.push_back(c.sent(xcb_get_window_attributes(c.xcb(), children[i])));
    std::vector<xcb_window_t> out;
    for (size_t i = n; i-- > 0;) {  // the tree lists bottom to top
        ErrorReply error;
        auto attrs = c.reply(xcb_get_window_attributes_reply, cookies[i], &error);
        if (error && !Connection::isVanished(*error)) c.noteUnexpected(*error);
        if (attrs && !attrs->override_redirect && attrs->map_state == XCB_MAP_STATE_VIEWABLE &&
            attrs->_class == XCB_WINDOW_CLASS_INPUT_OUTPUT)
            out.push_back(children[i]);
    }
    return out;
}

ClientList collectRoot(Connection& c, const RootCookies& k) {
    bool rootGone = false;  // cannot happen; the flag only satisfies the helper
    ClientList out;
    auto supported = collectProperty(c, k.supported, rootGone);
    auto stacking = collectProperty(c, k.stacking, rootGone);
    auto list = collectProperty(c, k.list, rootGone);
    auto active = collectProperty(c, k.active, rootGone);
    auto desktop = collectProperty(c, k.desktop, rootGone);
    if (auto tree = c.reply(xcb_query_tree_reply, k.tree)) {
        const xcb_window_t* children = xcb_query_tree_children(tree.get());
        out.topLevels.assign(children, children + xcb_query_tree_children_length(tree.get()));
    }
    out.ewmh = supported && supported->type != XCB_NONE;
    out.supported = cardinals(supported.get());
    std::sort(out.supported.begin(), out.supported.end());
    if (auto v = cardinals(active.get()); !v.empty()) out.active = v[0];
    if (auto v = cardinals(desktop.get()); !v.empty()) out.currentDesktop = v[0];
    if (stacking && stacking->type != XCB_NONE) {
        out.frontFirst = cardinals(stacking.get());
        std::reverse(out.frontFirst.begin(), out.frontFirst.end());  // the property lists bottom to top
    } else if (list && list->type != XCB_NONE) {
        // Mapping order, oldest first: the newest is the best guess for the front.
        out.frontFirst = cardinals(list.get());
        std::reverse(out.frontFirst.begin(), out.frontFirst.end());
    } else if (!out.ewmh) {
        out.frontFirst = viewableTopLevels(c, out.topLevels);
    }
    return out;
}

struct WindowCookies {
    xcb_get_property_cookie_t pid, netName, wmName, type, state, opacity, extents, wmClass, allowed,
        protocols, icon, desktop;
    xcb_get_geometry_cookie_t geometry;
    xcb_translate_coordinates_cookie_t translate;
    xcb_query_tree_cookie_t tree;
};

WindowCookies askWindow(Connection& c, xcb_window_t w, unsigned wants) {
    const auto& a = c.atoms();
    WindowCookies k{};
    if (wants & kWantPid) k.pid = askProperty(c, w, a._NET_WM_PID, 1);
    if (wants & kWantTitle) {
        k.netName = askProperty(c, w, a._NET_WM_NAME, kTextLongs);
        k.wmName = askProperty(c, w, XCB_ATOM_WM_NAME, kTextLongs);
    }
    if (wants & kWantKind) {
        k.type = askProperty(c, w, a._NET_WM_WINDOW_TYPE, 64);
        k.state = askProperty(c, w, a._NET_WM_STATE, 64);
    }
    if (wants & kWantAlpha) k.opacity = askProperty(c, w, c.extra()._NET_WM_WINDOW_OPACITY, 1);
    if (wants & kWantFrame) {
        k.extents = askProperty(c, w, a._NET_FRAME_EXTENTS, 4);
        k.geometry = c.sent(xcb_get_geometry(c.xcb(), w));
        k.translate = c.sent(xcb_translate_coordinates(c.xcb(), w, c.root(), 0, 0));
        k.tree = c.sent(xcb_query_tree(c.xcb(), w));
    }
    if (wants & kWantClass) k.wmClass = askProperty(c, w, XCB_ATOM_WM_CLASS, kTextLongs);
    if (wants & kWantCloseInfo) {
        k.allowed = askProperty(c, w, a._NET_WM_ALLOWED_ACTIONS, 64);
        k.protocols = askProperty(c, w, a.WM_PROTOCOLS, 64);
    }
    if (wants & kWantIconProbe) k.icon = askProperty(c, w, a._NET_WM_ICON, 0);
    if (wants & kWantDesktop) k.desktop = askProperty(c, w, a._NET_WM_DESKTOP, 1);
    return k;
}

template <class R, class Cookie>
Reply<R> collectOther(Connection& c, R* (*fn)(xcb_connection_t*, Cookie, xcb_generic_error_t**),
                      Cookie cookie, bool& vanished) {
    ErrorReply error;
    auto r = c.reply(fn, cookie, &error);
    if (error) {
        if (Connection::isVanished(*error))
            vanished = true;
        else
            c.noteUnexpected(*error);
    }
    return r;
}

// Facts of one window; none when it vanished.
std::optional<WindowFacts> collectWindow(Connection& c, xcb_window_t w, unsigned wants,
                                         const WindowCookies& k) {
    const auto& a = c.atoms();
    bool vanished = false;
    WindowFacts f;
    f.id = w;
    if (wants & kWantPid) {
        if (auto v = cardinals(collectProperty(c, k.pid, vanished).get()); !v.empty()) f.pid = v[0];
    }
    if (wants & kWantTitle) {
        auto net = collectProperty(c, k.netName, vanished);
        auto old = collectProperty(c, k.wmName, vanished);
        if (auto text = bytes(net.get()))
            f.title = sanitizedUtf8(*text);
        else if (auto legacy = bytes(old.get()))
            f.title = old->type == a.UTF8_STRING ? sanitizedUtf8(*legacy) : latin1ToUtf8(*legacy);
    }
    if (wants & kWantKind) {
        f.types = cardinals(collectProperty(c, k.type, vanished).get());
        f.states = cardinals(collectProperty(c, k.state, vanished).get());
    }
    if (wants & kWantAlpha) {
        if (auto v = cardinals(collectProperty(c, k.opacity, vanished).get()); !v.empty())
            f.alpha = static_cast<double>(v[0]) / 4294967295.0;
    }
    if (wants & kWantFrame) {
        auto extents = cardinals(collectProperty(c, k.extents, vanished).get());
        auto geometry = collectOther(c, xcb_get_geometry_reply, k.geometry, vanished);
        auto origin = collectOther(c, xcb_translate_coordinates_reply, k.translate, vanished);
        if (auto tree = collectOther(c, xcb_query_tree_reply, k.tree, vanished)) f.parent = tree->parent;
        if (geometry && origin) {
            Frame fr;
            if (extents.size() >= 4) fr.extents = {extents[0], extents[1], extents[2], extents[3]};
            const std::int64_t border = geometry->border_width;
            fr.border = geometry->border_width;
            fr.x = clampToInt32(std::int64_t{origin->dst_x} - border - fr.extents.left);
            fr.y = clampToInt32(std::int64_t{origin->dst_y} - border - fr.extents.top);
            fr.width = static_cast<std::uint32_t>(std::min<std::int64_t>(
                geometry->width + 2 * border + fr.extents.left + fr.extents.right, UINT32_MAX));
            fr.height = static_cast<std::uint32_t>(std::min<std::int64_t>(
                geometry->height + 2 * border + fr.extents.top + fr.extents.bottom, UINT32_MAX));
            f.frame = fr;
        }
    }
    if (wants & kWantClass) {
        auto r = collectProperty(c, k.wmClass, vanished);
        if (r && r->format == 8) {
            // "instance\0class\0"
            std::string_view all(static_cast<const char*>(xcb_get_property_value(r.get())),
                                 static_cast<size_t>(xcb_get_property_value_length(r.get())));
            if (auto nul = all.find('\0'); nul != std::string_view::npos) {
                std::string_view cls = all.substr(nul + 1);
                if (auto end = cls.find('\0'); end != std::string_view::npos) cls = cls.substr(0, end);
                if (!cls.empty()) f.wmClass = latin1ToUtf8(cls);
            }
        }
    }
    if (wants & kWantCloseInfo) {
        auto allowed = collectProperty(c, k.allowed, vanished);
        f.allowedActionsKnown = allowed && allowed->type != XCB_NONE;
        f.allowedActions = cardinals(allowed.get());
        f.protocols = cardinals(collectProperty(c, k.protocols, vanished).get());
    }
    if (wants & kWantIconProbe) {
        auto r = collectProperty(c, k.icon, vanished);
        f.hasIcon = r && r->type != XCB_NONE && r->bytes_after > 0;
    }
    if (wants & kWantDesktop) {
        if (auto v = cardinals(collectProperty(c, k.desktop, vanished).get()); !v.empty()) f.desktop = v[0];
    }
    if (vanished) return std::nullopt;
    return f;
}

// Owners of windows without _NET_WM_PID, from the X-Resource extension.
void fillPidsFromXRes(Connection& c, std::vector<WindowFacts>& windows, const std::vector<bool>& askedPid) {
    if (!c.hasXRes()) return;
    std::vector<std::pair<size_t, xcb_res_query_client_ids_cookie_t>> asked;
    for (size_t i = 0; i < windows.size(); ++i) {
        if (!askedPid[i] || windows[i].pid) continue;
        xcb_res_client_id_spec_t query{windows[i].id, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
        asked.emplace_back(i, c.sent(xcb_res_query_client_ids(c.xcb(), 1, &query)));
    }
    for (auto& [i, cookie] : asked) {
        bool vanished = false;
        auto r = collectOther(c, xcb_res_query_client_ids_reply, cookie, vanished);
        if (!r) continue;
        for (auto it = xcb_res_query_client_ids_ids_iterator(r.get()); it.rem;
             xcb_res_client_id_value_next(&it)) {
            if ((it.data->spec.mask & XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID) &&
                xcb_res_client_id_value_value_length(it.data) >= 1) {
                windows[i].pid = *xcb_res_client_id_value_value(it.data);
                break;
            }
        }
    }
}

}  // namespace

bool ClientList::supports(xcb_atom_t atom) const {
    return std::binary_search(supported.begin(), supported.end(), atom);
}

bool WindowFacts::hasState(xcb_atom_t a) const { return contains(states, a); }

void WindowFacts::assign(const WindowFacts& f, unsigned wants) {
    if (wants & kWantPid) pid = f.pid;
    if (wants & kWantTitle) title = f.title;
    if (wants & kWantKind) types = f.types, states = f.states;
    if (wants & kWantAlpha) alpha = f.alpha;
    if (wants & kWantFrame) frame = f.frame, parent = f.parent;
    if (wants & kWantClass) wmClass = f.wmClass;
    if (wants & kWantCloseInfo) {
        allowedActionsKnown = f.allowedActionsKnown;
        allowedActions = f.allowedActions;
        protocols = f.protocols;
    }
    if (wants & kWantIconProbe) hasIcon = f.hasIcon;
    if (wants & kWantDesktop) desktop = f.desktop;
}

unsigned wantsForProperty(const Connection& c, xcb_atom_t p) {
    const auto& a = c.atoms();
    if (p == a._NET_WM_PID) return kWantPid;
    if (p == a._NET_WM_NAME || p == XCB_ATOM_WM_NAME) return kWantTitle;
    if (p == a._NET_WM_WINDOW_TYPE || p == a._NET_WM_STATE) return kWantKind;
    if (p == c.extra()._NET_WM_WINDOW_OPACITY) return kWantAlpha;
    if (p == a._NET_FRAME_EXTENTS) return kWantFrame;
    if (p == XCB_ATOM_WM_CLASS) return kWantClass;
    if (p == a._NET_WM_ALLOWED_ACTIONS || p == a.WM_PROTOCOLS) return kWantCloseInfo;
    if (p == a._NET_WM_ICON) return kWantIconProbe;
    if (p == a._NET_WM_DESKTOP) return kWantDesktop;
    return 0;
}

bool isClientListProperty(const Connection& c, xcb_atom_t p) {
    const auto& a = c.atoms();
    return p == a._NET_SUPPORTED || p == a._NET_CLIENT_LIST_STACKING || p == a._NET_CLIENT_LIST ||
           p == a._NET_ACTIVE_WINDOW || p == a._NET_CURRENT_DESKTOP;
}
bool WindowFacts::hasProtocol(xcb_atom_t a) const { return contains(protocols, a); }

Survey survey(Connection& c, const std::vector<xcb_window_t>& ids, unsigned wants, bool withClientList) {
    return survey(c, ids, std::vector<unsigned>(ids.size(), wants), withClientList);
}

Survey survey(Connection& c, const std::vector<xcb_window_t>& ids, const std::vector<unsigned>& wants,
              bool withClientList) {
    std::optional<RootCookies> root;
    if (withClientList) root = askRoot(c);
    std::vector<WindowCookies> cookies;
    cookies.reserve(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) cookies.push_back(askWindow(c, ids[i], wants[i]));

    Survey out;
    if (root) out.clients = collectRoot(c, *root);
    out.windows.reserve(ids.size());
    std::vector<bool> askedPid;
    for (size_t i = 0; i < ids.size(); ++i) {
        if (auto f = collectWindow(c, ids[i], wants[i], cookies[i])) {
            out.windows.push_back(std::move(*f));
            askedPid.push_back((wants[i] & kWantPid) != 0);
        }
    }
    fillPidsFromXRes(c, out.windows, askedPid);
    return out;
}

std::optional<std::int64_t> layerOf(const WindowFacts& w, const xcb_ewmh_connection_t& a) {
    std::int64_t layer = 0;
    for (xcb_atom_t t : w.types) {
        if (t == a._NET_WM_WINDOW_TYPE_DESKTOP) return std::nullopt;
        if (t == a._NET_WM_WINDOW_TYPE_DOCK) return 20;
        if (t == a._NET_WM_WINDOW_TYPE_NORMAL || t == a._NET_WM_WINDOW_TYPE_DIALOG ||
            t == a._NET_WM_WINDOW_TYPE_UTILITY)
            break;
        // Panels and pop-ups float above the ordinary windows.
        if (t == a._NET_WM_WINDOW_TYPE_TOOLBAR || t == a._NET_WM_WINDOW_TYPE_MENU ||
            t == a._NET_WM_WINDOW_TYPE_SPLASH)
            return 3;
        if (t == a._NET_WM_WINDOW_TYPE_DROPDOWN_MENU || t == a._NET_WM_WINDOW_TYPE_POPUP_MENU ||
            t == a._NET_WM_WINDOW_TYPE_COMBO || t == a._NET_WM_WINDOW_TYPE_TOOLTIP)
            return 101;
        if (t == a._NET_WM_WINDOW_TYPE_NOTIFICATION) return 23;
        if (t == a._NET_WM_WINDOW_TYPE_DND) return 500;
        // An unknown type: the next one in the list is the fallback the client chose.
    }
    if (w.hasState(a._NET_WM_STATE_ABOVE)) layer = 3;
    return layer;
}

bool closable(const WindowFacts& w, const ExtraAtoms& extra, const xcb_ewmh_connection_t& a) {
    // A window that does not speak WM_DELETE_WINDOW could only be killed: never offered.
    if (!w.hasProtocol(extra.WM_DELETE_WINDOW)) return false;
    return !w.allowedActionsKnown || contains(w.allowedActions, a._NET_WM_ACTION_CLOSE);
}

std::vector<Image> readIcons(Connection& c, const std::vector<xcb_window_t>& ids) {
    std::vector<xcb_get_property_cookie_t> cookies;
    cookies.reserve(ids.size());
    for (xcb_window_t w : ids) cookies.push_back(askProperty(c, w, c.atoms()._NET_WM_ICON, kIconLongs));
    std::vector<Image> out;
    out.reserve(ids.size());
    for (auto cookie : cookies) {
        bool vanished = false;
        auto r = collectProperty(c, cookie, vanished);
        auto v = cardinals(r.get());
        out.push_back(iconFromCardinals(v.data(), v.size()));
    }
    return out;
}

Image iconFromCardinals(const std::uint32_t* data, size_t count, int want) {
    const std::uint32_t* best = nullptr;
    std::uint32_t bw = 0, bh = 0;
    auto fits = [&](std::uint32_t w, std::uint32_t h) {
        return w >= static_cast<std::uint32_t>(want) && h >= static_cast<std::uint32_t>(want);
    };
    for (size_t i = 0; i + 2 <= count;) {
        std::uint32_t w = data[i], h = data[i + 1];
        if (w == 0 || h == 0 || w > kMaxIconSide || h > kMaxIconSide) break;
        size_t pixels = size_t{w} * h;
        if (pixels > count - i - 2) break;  // truncated or malformed: stop here
        std::uint64_t area = std::uint64_t{w} * h, bestArea = std::uint64_t{bw} * bh;
        bool better =
            !best || (fits(w, h) ? !fits(bw, bh) || area < bestArea : !fits(bw, bh) && area > bestArea);
        if (better) {
            best = data + i + 2;
            bw = w;
            bh = h;
        }
        i += 2 + pixels;
    }
    if (!best) return {};
    std::vector<std::uint32_t> pixels(size_t{bw} * bh);
    for (size_t i = 0; i < pixels.size(); ++i) {
        std::uint32_t p = best[i], alpha = p >> 24;
        auto mul = [alpha](std::uint32_t ch) { return (ch * alpha + 127) / 255; };
        pixels[i] =
            (alpha << 24) | (mul((p >> 16) & 0xff) << 16) | (mul((p >> 8) & 0xff) << 8) | mul(p & 0xff);
    }
    return Image(Size{static_cast<double>(bw), static_cast<double>(bh)}, static_cast<int>(bw),
                 static_cast<int>(bh), std::move(pixels));
}

std::string sanitizedUtf8(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    size_t n = s.size(), i = 0;
    while (i < n) {
        unsigned char b = p[i];
        size_t len = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xe ? 3 : (b >> 3) == 0x1e ? 4 : 0;
        bool ok = len != 0 && i + len <= n;
        for (size_t k = 1; ok && k < len; ++k) ok = (p[i + k] & 0xc0) == 0x80;
        if (ok && len > 1) {
            std::uint32_t cp = b & (0x7f >> len);
            for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (p[i + k] & 0x3f);
            static constexpr std::uint32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
            ok = cp >= minimum[len] && cp <= 0x10ffff && (cp < 0xd800 || cp > 0xdfff);
        }
        if (ok) {
            out.append(s.substr(i, len));
            i += len;
        } else {
            out += "\xef\xbf\xbd";
            ++i;
        }
    }
    return out;
}

std::string latin1ToUtf8(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (char ch : s) {
        auto b = static_cast<unsigned char>(ch);
        if (b < 0x80) {
            out += ch;
        } else {
            out += static_cast<char>(0xc0 | (b >> 6));
            out += static_cast<char>(0x80 | (b & 0x3f));
        }
    }
    return out;
}

}  // namespace tarvolin::x11
