// tarvolin-kwin-keys EVENT...: real key events on the KWin of WAYLAND_DISPLAY through its fake
// input protocol. An EVENT is a Linux key code (linux/input-event-codes.h) pressed and released,
// +CODE pressed only, -CODE released only. KWin offers the protocol only to programs it trusts:
// the harness runs it with KWIN_WAYLAND_NO_PERMISSION_CHECKS.
#include "fake-input-client-protocol.h"

#include <wayland-client.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Event {
    std::uint32_t code;
    bool press, release;
};

org_kde_kwin_fake_input* fakeInput = nullptr;

void global(void*, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t version) {
    if (std::strcmp(interface, org_kde_kwin_fake_input_interface.name) == 0 && version >= 4)
        fakeInput = static_cast<org_kde_kwin_fake_input*>(
            wl_registry_bind(registry, name, &org_kde_kwin_fake_input_interface, 4));
}
void globalRemove(void*, wl_registry*, std::uint32_t) {}
const wl_registry_listener registryListener{global, globalRemove};

bool parse(const char* text, Event& event) {
    const char sign = text[0];
    const char* digits = sign == '+' || sign == '-' ? text + 1 : text;
    char* end = nullptr;
    const unsigned long code = std::strtoul(digits, &end, 10);
    if (*digits < '0' || *digits > '9' || *end != '\0' || code == 0 || code > 767) return false;
    event = {static_cast<std::uint32_t>(code), sign != '-', sign != '+'};
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<Event> events;
    for (int i = 1; i < argc; ++i) {
        Event e{};
        if (!parse(argv[i], e)) {
            std::fprintf(stderr, "tarvolin-kwin-keys: bad key event '%s' (CODE, +CODE or -CODE)\n", argv[i]);
            return 2;
        }
        events.push_back(e);
    }
    wl_display* display = wl_display_connect(nullptr);
    if (!display) {
        std::fprintf(stderr, "tarvolin-kwin-keys: cannot connect to the Wayland display\n");
        return 1;
    }
    wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registryListener, nullptr);
    wl_display_roundtrip(display);
    if (!fakeInput) {
        std::fprintf(stderr,
                     "tarvolin-kwin-keys: KWin does not offer org_kde_kwin_fake_input version 4 to us\n");
        wl_display_disconnect(display);
        return 1;
    }
    org_kde_kwin_fake_input_authenticate(fakeInput, "tarvolin tests", "key events for the tests");
    // One round trip per event: the client sees each before the next, as from a keyboard.
    bool ok = wl_display_roundtrip(display) >= 0;
    for (const Event& e : events) {
        if (e.press)
            org_kde_kwin_fake_input_keyboard_key(fakeInput, e.code, 1),
                ok = ok && wl_display_roundtrip(display) >= 0;
        if (e.release)
            org_kde_kwin_fake_input_keyboard_key(fakeInput, e.code, 0),
                ok = ok && wl_display_roundtrip(display) >= 0;
    }
    org_kde_kwin_fake_input_destroy(fakeInput);
    wl_registry_destroy(registry);
    wl_display_disconnect(display);
    return ok ? 0 : 1;
}
