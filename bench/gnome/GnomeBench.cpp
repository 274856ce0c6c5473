// The agent's scans and raise on a headless GNOME Shell with the agent's extension, beside one
// List call of the extension's interface on a connection of our own (one the extension admits:
// a script's gdbus call is refused).
//
//   tarvolin_gnome_bench [--counts 10,100] [--reps 20]
// With $TARVOLIN_DEBIAN13_ROOT set (scripts/debian13-root), GNOME Shell 48 from that root.
#include "bench/CompositorBench.h"
#include "platform/LocalNotificationCenter.h"
#include "platform/linux/gnome/GnomeDesktop.h"
#include "platform/linux/session/NotificationBus.h"
#include "tools/headless/HeadlessGnome.h"

#include <filesystem>

using namespace tarvolin;

int main(int argc, char** argv) {
    std::string error;
    headless::GnomeOptions options;
    options.xwayland = false;
    for (const auto& built : std::filesystem::directory_iterator(TARVOLIN_GNOME_EXTENSIONS))
        options.extensions.push_back(built.path().string());
    if (const char* root = std::getenv("TARVOLIN_DEBIAN13_ROOT"); root && *root) options.root = root;
    auto shell = headless::HeadlessGnome::start(error, options);
    if (!shell) {
        std::fprintf(stderr, "cannot start GNOME Shell: %s\n", error.c_str());
        return 1;
    }

    ::setenv("DBUS_SESSION_BUS_ADDRESS", shell->busAddress().c_str(), 1);
    sd_bus* raw = nullptr;
    if (sd_bus_open_user(&raw) < 0) {
        std::fprintf(stderr, "no session bus\n");
        return 1;
    }
    const SdBusPtr bus(raw);
    char* version = nullptr;
    sd_bus_get_property_string(raw, "org.gnome.Shell", "/org/gnome/Shell", "org.gnome.Shell", "ShellVersion",
                               nullptr, &version);
    std::printf("GNOME Shell %s\n", version ? version : "(version unknown)");
    std::free(version);
    if (GnomeDesktop::becomeClient(raw) < 0) {
        std::fprintf(stderr, "cannot own a client name on the bus\n");
        return 1;
    }

    LocalNotificationCenter center;
    nlohmann::json shown;
    bench::CompositorRun run;
    run.clientEnvironment = shell->clientEnvironment();
    run.windowsShown = [&] {
        shown = shell->windows();
        return shown.size();
    };
    run.connect = [&](std::string& why) { return GnomeDesktop::connect(center, why); };
    run.beside = {
        {"List call",
         [&](int) {
             SdBusError e;
             sd_bus_message* reply = nullptr;
             const int r = sd_bus_call_method(bus.get(), "org.gnome.Shell", "/org/tarvolin/Shell",
                                              "org.tarvolin.Shell", "List", &e.e, &reply, "");
             const SdBusMessagePtr answer(reply);
             const char* text = nullptr;
             const bool ok = r >= 0 && sd_bus_message_read(reply, "s", &text) >= 0 && text && *text == '{';
             if (!ok) std::fprintf(stderr, "List: %s\n", e.text(r).c_str());
             return ok;
         }},
        {"activate (harness)",
         [&](int r) {
             if (shell->activate(shown[size_t(r + 1) % shown.size()]["id"])) return true;
             std::fprintf(stderr, "the harness's activation: %s\n", shell->lastError().c_str());
             return false;
         }},
    };
    return bench::runCompositorBench(argc, argv, run);
}
