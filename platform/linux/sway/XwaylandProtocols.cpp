#include "XwaylandProtocols.h"

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>

namespace tarvolin::sway {

namespace {
template <class T>
std::unique_ptr<T, decltype(&std::free)> owned(T* reply) {
    return {reply, &std::free};
}
}  // namespace

XwaylandProtocols::XwaylandProtocols(std::string display)
    : display_(std::move(display)), c_(nullptr, xcb_disconnect) {}

std::vector<bool> XwaylandProtocols::speakDelete(const std::vector<std::uint32_t>& windows) {
    std::vector<bool> out(windows.size(), false);
    if (!c_ || xcb_connection_has_error(c_.get())) {
        c_.reset(display_.empty() ? nullptr : xcb_connect(display_.c_str(), nullptr));
        if (!c_ || xcb_connection_has_error(c_.get())) return out;
        auto p = xcb_intern_atom(c_.get(), 0, 12, "WM_PROTOCOLS"),
             d = xcb_intern_atom(c_.get(), 0, 16, "WM_DELETE_WINDOW");
        auto protocols = owned(xcb_intern_atom_reply(c_.get(), p, nullptr));
        auto deleteWindow = owned(xcb_intern_atom_reply(c_.get(), d, nullptr));
        protocols_ = protocols ? protocols->atom : XCB_NONE;
        deleteWindow_ = deleteWindow ? deleteWindow->atom : XCB_NONE;
    }
    std::vector<xcb_get_property_cookie_t> cookies;
    for (std::uint32_t w : windows)
        cookies.push_back(xcb_get_property(c_.get(), 0, w, protocols_, XCB_ATOM_ATOM, 0, 64));
    for (size_t i = 0; i < windows.size(); ++i) {
        xcb_generic_error_t* error = nullptr;  // a window that is gone answers BadWindow
        auto r = owned(xcb_get_property_reply(c_.get(), cookies[i], &error));
        std::free(error);
        if (!r || r->format != 32) continue;
        auto* atoms = static_cast<const xcb_atom_t*>(xcb_get_property_value(r.get()));
        const std::uint32_t n = std::min(r->value_len, r->length);  // no further than the reply goes
        out[i] = std::find(atoms, atoms + n, deleteWindow_) != atoms + n;
    }
    return out;
}

}  // namespace tarvolin::sway
