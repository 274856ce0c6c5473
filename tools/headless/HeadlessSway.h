#pragma once

// A private sway session with no screen: for tests, benchmarks and demos. As root it runs
// sway as an unprivileged user of its own (sway refuses root), with a runtime directory
// of its own; it is ready when its IPC socket answers with an output. Views whose app id
// is "floating" float from their first frame. X clients reach it through Xwayland, which
// under root admits root's clients too. The destructor stops sway and removes the
// directory.

#include "platform/linux/sway/SwayIpc.h"

#include <nlohmann/json.hpp>

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

namespace tarvolin::headless {

class HeadlessSway {
public:
    // The user sway runs as when started by root; created when missing.
    static constexpr const char* kUser = "tarvolin-sway";

    // None, with `error` set, when sway cannot be started or does not become ready.
    static std::unique_ptr<HeadlessSway> start(std::string& error);
    ~HeadlessSway();
    HeadlessSway(const HeadlessSway&) = delete;
    HeadlessSway& operator=(const HeadlessSway&) = delete;

    const std::string& ipcSocket() const { return ipcSocket_; }
    const std::string& waylandDisplay() const { return waylandDisplay_; }  // an absolute path
    // Xwayland's display, empty when sway has none.
    const std::string& xDisplay() const { return xDisplay_; }
    // SWAYSOCK, WAYLAND_DISPLAY and DISPLAY (maybe empty) for a client of this session.
    std::vector<std::string> clientEnvironment() const;
    pid_t pid() const { return pid_; }
    bool running();

    // A connection of the session's own, for asking sway what it shows.
    sway::Connection& ipc() { return *ipc_; }
    // Every view of the tree in tree order, each with a "workspace" key naming its workspace.
    nlohmann::json views();
    std::string focusedWorkspace();
    // True when sway carried out the command.
    bool command(const std::string& text);

private:
    HeadlessSway() = default;
    pid_t pid_ = -1;
    std::string dir_;
    std::string ipcSocket_;
    std::string waylandDisplay_;
    std::string xDisplay_;
    std::unique_ptr<sway::Connection> ipc_;
};

}  // namespace tarvolin::headless
