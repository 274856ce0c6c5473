#include "app/CommandLine.h"

#include "tarvolin/Version.h"

#include <cstdio>
#include <string_view>

namespace tarvolin {

namespace {

// The manual page is made from this text by help2man: "Environment:", "Files:",
// "Examples:" and every other heading followed by an indented line become its sections.
constexpr const char* kHelp = R"(Usage: tarvolin-agent [--help | --version]
Keep an inventory of the desktop's windows and raise, close or quit them on command.

The agent runs in the background of a user's desktop session: sway (through its IPC
socket), KDE Plasma on Wayland (through a script of its own that it loads into KWin),
GNOME on Wayland (through its GNOME Shell extension, which must be enabled), or X11
with a window manager that follows EWMH. It takes its commands from
tarvolinctl(1): JSON on the pasteboard TarvolinAgentPB, and text under the key SomeText
of the user defaults it shares with its companion. One copy runs per user; a second
copy ends itself at once. Log lines go to standard error (the journal under systemd).
SIGTERM and SIGINT end the agent in the orderly way; so does logind's PrepareForSleep.
The agent has no options beyond these two:

Options:
  --help             display this help and exit
  --version          output version information and exit

Environment:
  SWAYSOCK           sway's IPC socket: when set, the agent works on sway, and ends
                     with status 1 when sway does not answer there
  WAYLAND_DISPLAY    without SWAYSOCK: with KWin on the session bus, the agent works
                     on KDE Plasma; with GNOME Shell there, on GNOME; any other
                     Wayland desktop it does not support, and it ends with status 1
                     rather than see only Xwayland's clients
  DISPLAY            otherwise, the X display the agent works on
  TARVOLIN_KWIN_SCRIPT
                     on KDE Plasma, a script file KWin runs instead of the agent's own
                     (for work on the script)
  XDG_RUNTIME_DIR    holds tarvolin/, the pasteboard and the instance lock
                     (/tmp/tarvolin-UID/ when unset)
  XDG_CONFIG_HOME    holds tarvolin/, the user defaults (~/.config when unset)
  DBUS_SESSION_BUS_ADDRESS
                     the session bus the agent posts its notifications on

A systemd user unit sees only the variables imported into the user manager;
desktops that start graphical-session.target import their own. Elsewhere, run
systemctl --user import-environment from the session with, on sway, SWAYSOCK
WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS, on KDE Plasma and GNOME, WAYLAND_DISPLAY
DBUS_SESSION_BUS_ADDRESS, and on X11, DISPLAY XAUTHORITY DBUS_SESSION_BUS_ADDRESS.

Files:
  $XDG_RUNTIME_DIR/tarvolin/TarvolinAgentPB.pb
                     the command pasteboard, polled ten times a second
  $XDG_RUNTIME_DIR/tarvolin/agent.lock
                     locked while an agent runs
  $XDG_RUNTIME_DIR/tarvolin-kwin/tarvolin-agent.js
                     on KDE Plasma, the script KWin loads, there while it starts
  /usr/share/gnome-shell/extensions/tarvolin@tarvolin.org/
                     the GNOME Shell extension for GNOME 45 and later (under the
                     prefix installed to); tarvolin-legacy@tarvolin.org for GNOME 43
                     and 44. Enable it with gnome-extensions enable UUID; a Shell on
                     Wayland finds an extension installed after it started only once
                     the user logs out and in
  $XDG_CONFIG_HOME/tarvolin/org.tarvolin.agent.plist
                     the key-label table (WinKey)
  $XDG_CONFIG_HOME/tarvolin/org.tarvolin.shared.plist
                     the shared defaults (SomeText)

The runtime directory must be the user's own with mode 0700, the configuration
directory the user's own and not writable by others; the agent refuses to start otherwise.

D-Bus signals:
  org.tarvolin.Agent.Darwin.Notification
                     "FinderBack" after every raise
  org.tarvolin.Agent.Distributed.Notification
                     "HelloFromProcessOne" after a quit

Both come from /org/tarvolin/Agent on the session bus, with the name as their one
string argument. On KDE Plasma the agent also serves /org/tarvolin/KWin (interface
org.tarvolin.KWin, methods Event and Next) to its script in KWin; it refuses calls
there from any other bus name. On GNOME the extension serves /org/tarvolin/Shell
(interface org.tarvolin.Shell) on GNOME Shell's own connection: the agent calls its
methods and follows its Changed signal.

Exit status:
  0                  ended on purpose: a stop command, SIGTERM or SIGINT, going to
                     sleep, or another copy already running
  1                  cannot work: no display, a directory others can write, the
                     desktop lost (on KDE Plasma also: KWin did not run the script;
                     on GNOME: the extension is not installed, not enabled, failed,
                     or of another version, each said with how to mend it)
  2                  a usage error; the agent did not start

Examples:
  $ systemctl --user enable --now tarvolin-agent.service
  $ tarvolin-agent & tarvolinctl windows
)";

}  // namespace

std::optional<int> handleAgentArguments(int argc, char** argv) {
    if (argc < 2) return std::nullopt;
    const std::string_view arg = argv[1];
    if (argc == 2 && arg == "--help") {
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (argc == 2 && arg == "--version") {
        std::printf("tarvolin-agent %s\n", kVersion);
        return 0;
    }
    // With a known option first, the unexpected argument is the one after it.
    const bool known = arg == "--help" || arg == "--version";
    std::fprintf(stderr,
                 "tarvolin-agent: unexpected argument '%s'\nUsage: tarvolin-agent [--help | --version]\n",
                 known ? argv[2] : argv[1]);
    return 2;
}

}  // namespace tarvolin
