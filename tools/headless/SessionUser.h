#pragma once

// What the headless compositors need to run as an unprivileged user of their own under root.

#include <pwd.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

typedef struct sd_bus sd_bus;

namespace tarvolin::headless {

struct Account {
    uid_t uid;
    gid_t gid;
};
// Who a compositor runs as: under root the system account `name` (created without a home when
// missing), else this user; none with `error` set when the account cannot be made.
std::optional<Account> sessionAccount(const char* name, const char* purpose, std::string& error);

// Xwayland admits only the user it runs as (uid, gid): let root's clients in too.
bool admitRootToXwayland(const std::string& display, uid_t uid, gid_t gid);

// A dbus-daemon configuration of the `type` ("session" or "system") listening on the Unix socket at
// `socket`, which every user may use: the tests and the agent run as root, the compositor as its own user.
std::string busConfig(const std::string& socket, const std::string& type);

// Whether someone owns `name` on the bus.
bool nameHasOwner(sd_bus* bus, const char* name);

// Gives `path` to the account (chown); false when it cannot.
bool handTo(const std::string& path, const Account& to);

// How a compositor starts: `argv` (argv[0] a path) in `home`, with this process's environment
// less every session variable (XDG_*, DBUS_*, GDK_*, GSETTINGS_*, HOME, DISPLAY,
// WAYLAND_DISPLAY, SWAYSOCK, I3SOCK, XAUTHORITY) and plus `environment`.
struct Launch {
    std::vector<std::string> argv, environment;
    std::string home;
    std::string output = "/dev/null";  // where its output goes (appended); "" leaves ours
    bool noCoreDump = false;
    // A Debian root to run it in ("" for this system), seen through an overlay that keeps
    // nothing it writes, in a mount namespace of its own: every mount made for it goes when it
    // ends. The `shared` folders (absolute paths) are the same inside; `scratch`, an empty
    // folder of ours, holds the overlay's layers. /etc/passwd and /etc/group are ours there.
    std::string root, scratch;
    std::vector<std::string> shared;
    // Runs it in `root`, with `dir` (a folder of the harness's) and `shared` the same inside and
    // the overlay's layers in dir/overlay.
    void inRoot(const std::string& root, const std::string& dir, std::vector<std::string> shared);
};
// Starts it in a process group of its own (which stopGroup ends whole), as `as` when we are root,
// ending when we do. Its pid, or -1.
pid_t launchAs(const Launch& launch, const Account& as);

// Whether the child `pid` still runs; once it has ended (and is reaped), `pid` becomes -1.
bool childRunning(pid_t& pid);
// Ends the child: SIGTERM, then SIGKILL after 5 s; reaped, and `pid` -1.
void stopChild(pid_t& pid);
// Ends the child as stopChild does, then whatever else is left in its process group.
void stopGroup(pid_t& pid);

}  // namespace tarvolin::headless
