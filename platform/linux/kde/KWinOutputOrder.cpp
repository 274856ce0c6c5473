#include "KWinOutputOrder.h"

#include "kde-output-order-v1-client-protocol.h"
#include "xdg-output-unstable-v1-client-protocol.h"

#include <poll.h>

#include <chrono>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace tarvolin::kde {

namespace {

using Clock = std::chrono::steady_clock;
// A compositor that does not answer by then is not waited for.
constexpr auto kAnswerTimeout = std::chrono::seconds(5);

struct Output {
    wl_output* output = nullptr;
    zxdg_output_v1* xdg = nullptr;
    std::string name;
    desktop::Box box;
};

void ignore() {}

}  // namespace

struct KWinOutputOrder::State {
    wl_display* display = nullptr;
    wl_registry* registry = nullptr;
    kde_output_order_v1* order = nullptr;
    zxdg_output_manager_v1* manager = nullptr;
    std::map<std::uint32_t, Output> outputs;  // by the registry's name; nodes stay where they are
    std::vector<std::string> names, coming;   // the order as last completed, and the one arriving

    void describe(Output& o) {
        if (!manager || o.xdg) return;
        o.xdg = zxdg_output_manager_v1_get_xdg_output(manager, o.output);
        static const zxdg_output_v1_listener listener = {
            [](void* out, zxdg_output_v1*, std::int32_t x, std::int32_t y) {
                static_cast<Output*>(out)->box.x = x;
                static_cast<Output*>(out)->box.y = y;
            },
            [](void* out, zxdg_output_v1*, std::int32_t w, std::int32_t h) {
                static_cast<Output*>(out)->box.width = w;
                static_cast<Output*>(out)->box.height = h;
            },
            [](void*, zxdg_output_v1*) { ignore(); },
            [](void* out, zxdg_output_v1*, const char* name) {
                static_cast<Output*>(out)->name = name ? name : "";
            },
            [](void*, zxdg_output_v1*, const char*) { ignore(); },
        };
        zxdg_output_v1_add_listener(o.xdg, &listener, &o);
    }
    static void forget(Output& o) {
        if (o.xdg) zxdg_output_v1_destroy(o.xdg);
        if (o.output) wl_output_destroy(o.output);
    }

    ~State() {
        for (auto& entry : outputs) forget(entry.second);
        if (order) kde_output_order_v1_destroy(order);
        if (manager) zxdg_output_manager_v1_destroy(manager);
        if (registry) wl_registry_destroy(registry);
        if (display) wl_display_disconnect(display);
    }
};

namespace {

using State = KWinOutputOrder::State;

void onGlobal(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
              std::uint32_t version) {
    auto& s = *static_cast<State*>(data);
    if (std::strcmp(interface, kde_output_order_v1_interface.name) == 0 && !s.order) {
        s.order = static_cast<kde_output_order_v1*>(
            wl_registry_bind(registry, name, &kde_output_order_v1_interface, 1));
        static const kde_output_order_v1_listener listener = {
            [](void* state, kde_output_order_v1*, const char* output) {
                static_cast<State*>(state)->coming.push_back(output ? output : "");
            },
            [](void* state, kde_output_order_v1*) {
                auto& done = *static_cast<State*>(state);
                done.names = std::exchange(done.coming, {});
            },
        };
        kde_output_order_v1_add_listener(s.order, &listener, &s);
    } else if (std::strcmp(interface, zxdg_output_manager_v1_interface.name) == 0 && !s.manager &&
               version >= 2) {
        // Version 2 names each output; 3 is the newest there is.
        s.manager = static_cast<zxdg_output_manager_v1*>(
            wl_registry_bind(registry, name, &zxdg_output_manager_v1_interface, std::min(version, 3u)));
        for (auto& entry : s.outputs) s.describe(entry.second);
    } else if (std::strcmp(interface, wl_output_interface.name) == 0) {
        Output& o = s.outputs[name];
        // Bound only to be described by xdg-output: what it says itself goes unheard (no listener).
        o.output = static_cast<wl_output*>(wl_registry_bind(registry, name, &wl_output_interface, 1));
        s.describe(o);
    }
}

void onGlobalRemoved(void* data, wl_registry*, std::uint32_t name) {
    auto& s = *static_cast<State*>(data);
    if (auto it = s.outputs.find(name); it != s.outputs.end()) {
        State::forget(it->second);
        s.outputs.erase(it);
    }
}

const wl_registry_listener kRegistryListener = {onGlobal, onGlobalRemoved};

// Reads what has arrived without waiting longer than `timeout`; false once the connection is broken.
bool readFor(wl_display* d, int timeout) {
    while (wl_display_prepare_read(d) != 0)
        if (wl_display_dispatch_pending(d) < 0) return false;
    if (wl_display_flush(d) < 0 && errno != EAGAIN) {
        wl_display_cancel_read(d);
        return false;
    }
    pollfd p{wl_display_get_fd(d), POLLIN, 0};
    if (::poll(&p, 1, timeout) > 0) {
        if (wl_display_read_events(d) < 0) return false;
    } else {
        wl_display_cancel_read(d);
    }
    return wl_display_dispatch_pending(d) >= 0;
}

// A round trip that waits at most kAnswerTimeout.
bool roundTrip(wl_display* d) {
    bool done = false;
    wl_callback* sync = wl_display_sync(d);
    static const wl_callback_listener listener = {
        [](void* flag, wl_callback*, std::uint32_t) { *static_cast<bool*>(flag) = true; }};
    wl_callback_add_listener(sync, &listener, &done);
    const auto end = Clock::now() + kAnswerTimeout;
    bool ok = true;
    while (ok && !done) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        ok = left > 0 && readFor(d, static_cast<int>(left));
    }
    wl_callback_destroy(sync);
    return done;
}

}  // namespace

KWinOutputOrder::KWinOutputOrder() : state_(std::make_unique<State>()) {}
KWinOutputOrder::~KWinOutputOrder() = default;

std::unique_ptr<KWinOutputOrder> KWinOutputOrder::connect() {
    std::unique_ptr<KWinOutputOrder> o(new KWinOutputOrder());
    State& s = *o->state_;
    s.display = wl_display_connect(nullptr);  // $WAYLAND_DISPLAY
    if (!s.display) return nullptr;
    s.registry = wl_display_get_registry(s.display);
    wl_registry_add_listener(s.registry, &kRegistryListener, &s);
    // The globals, then what each says once bound.
    if (!roundTrip(s.display) || !s.order || !s.manager || !roundTrip(s.display)) return nullptr;
    return o;
}

int KWinOutputOrder::fd() const { return wl_display_get_fd(state_->display); }

bool KWinOutputOrder::dispatch() { return readFor(state_->display, 0); }

std::optional<desktop::Box> KWinOutputOrder::primary() const {
    if (state_->names.empty()) return std::nullopt;
    for (const auto& entry : state_->outputs) {
        const Output& o = entry.second;
        if (o.name == state_->names.front() && o.box.width > 0 && o.box.height > 0) return o.box;
    }
    return std::nullopt;
}

}  // namespace tarvolin::kde
