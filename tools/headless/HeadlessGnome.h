#pragma once

// A private GNOME Shell (43, Wayland) with no screen, for tests and benchmarks. As root it runs the
// Shell as an unprivileged user of its own, with a fresh home and runtime directory, a session bus
// every user may use and an empty stand-in system bus (the Shell exits without one). Extensions
// given are installed and enabled before the start. The harness looks into the Shell through a
// test-only extension of its own, written into the Shell's home, which evaluates JavaScript and
// owns a virtual keyboard. It is ready when its Wayland socket exists, org.gnome.Shell is on the
// bus, that extension answers and the overview (open at start) is closed. The destructor stops
// everything and removes the directory.

#include <nlohmann/json.hpp>

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

typedef struct sd_bus sd_bus;

namespace tarvolin::headless {

class Process;

struct GnomeOptions {
    int width = 1280;
    int height = 800;
    int workspaces = 2;  // static workspaces
    bool xwayland = true;
    // Extension directories copied under the Shell's home (each directory's name is its UUID) and
    // enabled before the start; `disabled` lists UUIDs of those installed but left out of
    // enabled-extensions.
    std::vector<std::string> extensions;
    std::vector<std::string> disabled;
    // UUIDs of extensions installed for every user (under /usr/share) to enable too.
    std::vector<std::string> systemExtensions;
    // A Debian root whose Shell to run ("" for this system's), or layers over one, the top first
    // ("upper:root"); the `shared` folders are seen at the same paths from there (the harness's
    // own always are).
    std::string root;
    std::vector<std::string> shared;
};

class HeadlessGnome {
public:
    using Options = GnomeOptions;
    // The user the Shell runs as when started by root; created when missing.
    static constexpr const char* kUser = "tarvolin-gnome";
    // The UUID of the harness's own extension.
    static constexpr const char* kHarnessUuid = "harness@tarvolin.invalid";
    static constexpr const char* kHarnessUuidLegacy = "harness-legacy@tarvolin.invalid";

    // None, with `error` set, when the Shell cannot be started or does not become ready.
    static std::unique_ptr<HeadlessGnome> start(std::string& error, const Options& options = {});
    ~HeadlessGnome();
    HeadlessGnome(const HeadlessGnome&) = delete;
    HeadlessGnome& operator=(const HeadlessGnome&) = delete;

    const std::string& busAddress() const { return busAddress_; }
    const std::string& waylandDisplay() const { return waylandDisplay_; }  // an absolute path
    const std::string& xDisplay() const { return xDisplay_; }              // empty without Xwayland
    const std::string& xAuthority() const { return xAuthority_; }          // empty without Xwayland
    const std::string& home() const { return home_; }                      // the Shell's HOME
    // NAME=VALUE (a bare NAME unsets it) for a client of this session: the session bus, Wayland,
    // Xwayland (DISPLAY, XAUTHORITY: mutter's cookie, which admits root too; unset without it),
    // XDG_SESSION_TYPE=wayland, XDG_CURRENT_DESKTOP=GNOME, NO_AT_BRIDGE=1; SWAYSOCK, I3SOCK and
    // GDK_BACKEND unset. No XDG_RUNTIME_DIR (the Shell's is its user's): give clients one, as
    // without it GTK 3 quietly falls back to X11.
    std::vector<std::string> clientEnvironment() const;
    pid_t pid() const { return pid_; }
    bool running();
    // Ends the Shell (SIGTERM, then SIGKILL) and its Xwayland and reaps it; the buses stay. The
    // Shell crashes on SIGTERM (status 139), as it does on any desktop: that is no failure.
    void stop();

    // What the Shell has written on its standard output and error (empty with
    // TARVOLIN_GNOME_VERBOSE, which leaves them on ours).
    std::string log() const;

    // Runs `body`, the statements of a JavaScript function, inside the Shell (`global`, Main,
    // ModalDialog, Meta, Shell, Clutter, GLib and Gio at hand, alike on every Shell version; a
    // returned Promise is awaited). Its return value JSON-encoded, or null
    // with lastError() saying why.
    nlohmann::json eval(const std::string& body);
    const std::string& lastError() const { return lastError_; }

    // Every normal window (override-redirect and non-normal types left out), as objects:
    // {id (get_id() as a string), stableSequence, pid, title, wmClass, app (the WindowTracker's app
    // id), appName, frame {x, y, w, h}, minimized, workspace (index, -1 on all), focused}.
    nlohmann::json windows();
    int activeWorkspace();  // -1 when the Shell did not answer
    bool setActiveWorkspace(int index);
    // Main.activateWindow: switches to its workspace, raises and focuses it. False when no
    // window has that id.
    bool activate(const std::string& id);
    // org.gnome.Shell.Extensions.GetExtensionInfo as an object (state 1 enabled, 3 error; empty
    // when the Shell knows no such extension), or null with lastError().
    nlohmann::json extensionInfo(const std::string& uuid);

    // Real key events to the focused window, as from a keyboard (a Clutter virtual keyboard inside
    // the Shell): Linux key codes (linux/input-event-codes.h) separated by spaces, each pressed
    // and released; +CODE only pressed, -CODE only released ("+29 17 -29" is Ctrl+W). False,
    // with lastError(), on a malformed list (nothing sent then) or when the Shell did not take them.
    bool keys(const std::string& events);

private:
    HeadlessGnome() = default;

    pid_t pid_ = -1;
    std::string dir_;
    std::string home_;
    std::string busAddress_;
    std::string waylandDisplay_;
    std::string xDisplay_;
    std::string xAuthority_;
    std::unique_ptr<Process> busDaemon_;
    std::unique_ptr<Process> systemBusDaemon_;
    sd_bus* bus_ = nullptr;
    std::string lastError_;
};

}  // namespace tarvolin::headless
