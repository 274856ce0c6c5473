#pragma once

#include "platform/linux/desktop/DesktopBackend.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

typedef struct sd_bus sd_bus;

namespace tarvolin {

// GNOME on Wayland, which shows no client the other programs' windows: an extension of the
// agent's own runs inside GNOME Shell and serves the windows, their changes and the agent's
// commands on the Shell's connection to the session bus.
struct GnomeDesktop {
    // None with `error` empty when GNOME Shell is not on the session bus; none with `error` set
    // when it is but its extension does not answer as this agent expects (saying why and how
    // to mend it).
    static std::unique_ptr<DesktopBackend> connect(NotificationCenter& workspaceCenter, std::string& error,
                                                   desktop::BundleLookup bundleLookup = {});

    // Makes `bus` a connection the extension answers: it owns a name only the agent's own programs
    // own (org.tarvolin.Client. and its unique name). A negative errno when it cannot.
    static int becomeClient(sd_bus* bus);

    // Whether GNOME Shell is on the session bus.
    static bool running();
    // A list of `rows` drawn by the Shell, each with the icon file beside it ("" for none): the
    // row picked, "" when the user cancelled or `timeout` passed; none, with `error`, when the
    // Shell could not show it.
    static std::optional<std::string> choose(const std::vector<std::string>& rows,
                                             const std::vector<std::string>& icons,
                                             std::chrono::milliseconds timeout, std::string& error);
};

}  // namespace tarvolin
