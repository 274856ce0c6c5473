// tarvolin-kwin-outputs NAME: makes the output NAME the primary one of the KWin at WAYLAND_DISPLAY,
// as Plasma's display settings do (kde_output_management_v2), and waits until KWin has applied it.
#include "kde-output-device-v2-client-protocol.h"
#include "kde-output-management-v2-client-protocol.h"

#include <wayland-client.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

namespace {

struct Device {
    kde_output_device_v2* proxy = nullptr;
    std::string name;
};

std::map<std::uint32_t, Device> devices;
kde_output_management_v2* management = nullptr;
std::uint32_t managementVersion = 0;

// A device sends many events; only its name matters here, so one dispatcher takes them all.
int onDeviceEvent(const void*, void* target, std::uint32_t opcode, const wl_message* message,
                  wl_argument* args) {
    if (std::strcmp(message->name, "name") == 0 && args[0].s) {
        for (auto& [id, d] : devices)
            if (static_cast<void*>(d.proxy) == target) d.name = args[0].s;
    }
    (void)opcode;
    return 0;
}

void global(void*, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t version) {
    if (std::strcmp(interface, kde_output_device_v2_interface.name) == 0 && version >= 2) {
        Device& d = devices[name];
        d.proxy = static_cast<kde_output_device_v2*>(
            wl_registry_bind(registry, name, &kde_output_device_v2_interface, 2));
        wl_proxy_add_dispatcher(reinterpret_cast<wl_proxy*>(d.proxy), onDeviceEvent, nullptr, nullptr);
    } else if (std::strcmp(interface, kde_output_management_v2_interface.name) == 0 && version >= 2) {
        managementVersion = std::min(version, 3u);
        management = static_cast<kde_output_management_v2*>(
            wl_registry_bind(registry, name, &kde_output_management_v2_interface, managementVersion));
    }
}
void globalRemove(void*, wl_registry*, std::uint32_t) {}
const wl_registry_listener registryListener{global, globalRemove};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: tarvolin-kwin-outputs NAME\n");
        return 2;
    }
    wl_display* display = wl_display_connect(nullptr);
    if (!display) {
        std::fprintf(stderr, "tarvolin-kwin-outputs: cannot connect to the Wayland display\n");
        return 1;
    }
    wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registryListener, nullptr);
    // The globals, then each device's description.
    wl_display_roundtrip(display);
    wl_display_roundtrip(display);
    kde_output_device_v2* chosen = nullptr;
    std::string known;
    for (auto& [id, d] : devices) {
        known += " " + d.name;
        if (d.name == argv[1]) chosen = d.proxy;
    }
    if (!management || !chosen) {
        std::fprintf(stderr, "tarvolin-kwin-outputs: %s\n",
                     management ? ("no output " + std::string(argv[1]) + " (there are:" + known + ")").c_str()
                                : "KWin offers no kde_output_management_v2 version 2");
        return 1;
    }
    int result = 0;  // 1 applied, -1 failed
    kde_output_configuration_v2* config = kde_output_management_v2_create_configuration(management);
    // Newer protocols add events this version is not sent: those stay empty.
    static kde_output_configuration_v2_listener listener{};
    listener.applied = [](void* r, kde_output_configuration_v2*) { *static_cast<int*>(r) = 1; };
    listener.failed = [](void* r, kde_output_configuration_v2*) { *static_cast<int*>(r) = -1; };
    kde_output_configuration_v2_add_listener(config, &listener, &result);
    // Plasma 5.27 orders its outputs by priority (1 first); earlier ones name a primary.
    if (managementVersion >= 3) {
        std::uint32_t next = 2;  // every enabled output needs one
        for (auto& [id, d] : devices)
            kde_output_configuration_v2_set_priority(config, d.proxy, d.proxy == chosen ? 1 : next++);
    } else
        kde_output_configuration_v2_set_primary_output(config, chosen);
    kde_output_configuration_v2_apply(config);
    while (result == 0 && wl_display_dispatch(display) >= 0) {
    }
    if (result != 1) std::fprintf(stderr, "tarvolin-kwin-outputs: KWin did not apply the configuration\n");
    // The connection frees none of its objects.
    kde_output_configuration_v2_destroy(config);
    for (auto& [id, d] : devices) kde_output_device_v2_destroy(d.proxy);
    kde_output_management_v2_destroy(management);
    wl_registry_destroy(registry);
    wl_display_disconnect(display);
    return result == 1 ? 0 : 1;
}
