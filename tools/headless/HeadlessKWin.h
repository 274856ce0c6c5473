#pragma once

// A private KWin (Plasma 5.27 Wayland) session with no screen, for tests and benchmarks. As root it
// runs KWin as an unprivileged user of its own (as root KWin's main thread goes real-time), from a
// copy of the binary (the packaged one carries a file capability the sandbox refuses), with a fresh
// home, runtime directory and session bus that every user may use. It is ready when its Wayland
// socket exists and org.kde.KWin is on the bus. What KWin shows is asked through one-shot KWin
// scripts of the harness's own that report back over the bus. The destructor stops everything and
// removes the directory.

#include <nlohmann/json.hpp>

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

typedef struct sd_bus sd_bus;
typedef struct sd_bus_slot sd_bus_slot;

namespace tarvolin::headless {

class Process;
struct KWinReport;

struct KWinOptions {
    int width = 1280;
    int height = 800;
    int desktops = 2;  // virtual desktops, written to kwinrc before the start
    int outputs = 1;   // each width x height, side by side
    // A Debian root whose KWin to run ("" for this system's), or layers over one, the top first
    // ("upper:root"); the `shared` folders are seen at the same paths from there (the harness's
    // own always are).
    std::string root;
    std::vector<std::string> shared;
    bool xwayland = true;
};

class HeadlessKWin {
public:
    using Options = KWinOptions;
    // The user KWin runs as when started by root; created when missing.
    static constexpr const char* kUser = "tarvolin-kwin";

    // None, with `error` set, when KWin cannot be started or does not become ready.
    static std::unique_ptr<HeadlessKWin> start(std::string& error, const Options& options = {});
    ~HeadlessKWin();
    HeadlessKWin(const HeadlessKWin&) = delete;
    HeadlessKWin& operator=(const HeadlessKWin&) = delete;

    const std::string& busAddress() const { return busAddress_; }
    const std::string& waylandDisplay() const { return waylandDisplay_; }  // an absolute path
    const std::string& xDisplay() const { return xDisplay_; }              // empty without Xwayland
    // NAME=VALUE (a bare NAME unsets it) for a client of this session.
    std::vector<std::string> clientEnvironment() const;
    pid_t pid() const { return pid_; }
    bool running();
    // Ends KWin (SIGTERM, then SIGKILL) and reaps it; the bus stays.
    void stop();

    // Runs `body`, the statements of a JavaScript function whose return value is reported, as a
    // KWin script. Its JSON value, or null with lastError() saying why. The body may use, alike on
    // KWin 5 and 6: windowList(), windowById(id), desktopOf(c), putOnDesktop(c, n),
    // currentDesktop(), setCurrentDesktop(n), activate(c) (desktops numbered from 1).
    nlohmann::json runScript(const std::string& body);
    const std::string& lastError() const { return lastError_; }
    // Loads `body` as the KWin script `name` and starts it: its id (KWin's number for it), or -1
    // with lastError().
    int loadScript(const std::string& name, const std::string& body);
    // Whether KWin had a script of that name and unloaded it.
    bool unloadScript(const std::string& name);

    // Every window KWin has, as objects with KWin 5's property names, and `shown`: whether KWin
    // has shown it yet (drawn its first frame).
    nlohmann::json windows();
    int currentDesktop();  // 0 when KWin did not answer
    bool setCurrentDesktop(int desktop);
    // Asks KWin to activate the window; an X window becomes active once Xwayland has the focus.
    bool activate(const std::string& internalId);

    // Real key events to the focused window, as from a keyboard: Linux key codes
    // (linux/input-event-codes.h) separated by spaces, each pressed and released; +CODE only
    // pressed, -CODE only released ("+29 17 -29" is Ctrl+W). With `drawnBy` (a window's
    // internal id), each press but the last waits until that window has drawn again, as a client
    // handed keys faster than it draws may lose some. False, with lastError(), when KWin did not
    // take them or the window did not draw.
    bool keys(const std::string& events, const std::string& drawnBy = "");
    // Frames the window has drawn since KWin listed it, as far as KWin has reported them.
    std::uint64_t framesDrawn(const std::string& internalId);
    // Makes the output `name` (Virtual-0, Virtual-1, ...) the primary, as Plasma's display
    // settings do; false, with lastError(), when KWin did not apply it.
    bool setPrimaryOutput(const std::string& name);

private:
    HeadlessKWin() = default;
    int load(const std::string& path, const std::string& name);
    // Runs a tool of the harness's as KWin's user on its display; false, with lastError(), when it fails.
    bool runTool(std::vector<std::string> args);
    friend struct KWinReport;

    pid_t pid_ = -1;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
    std::string dir_;
    std::string busAddress_;
    std::string waylandDisplay_;
    std::string xDisplay_;
    std::unique_ptr<Process> busDaemon_;
    sd_bus* bus_ = nullptr;
    sd_bus_slot* slot_ = nullptr;
    std::string lastError_;
    unsigned scripts_ = 0;
    // The script awaited and what it reported.
    std::string awaited_;
    bool reported_ = false;
    std::string reportValue_, reportError_;
    std::set<std::string> shown_;                 // internal ids
    std::map<std::string, std::uint64_t> drawn_;  // frames drawn, by internal id
};

}  // namespace tarvolin::headless
