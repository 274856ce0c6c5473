#pragma once

#include "Snapshot.h"
#include "platform/Image.h"
#include "platform/ScriptHost.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tarvolin::desktop {

// What a desktop backend supplies: its connection, the snapshot it keeps from its events, and
// its actions. An action answers whether the desktop took it; one the snapshot says is not
// allowed is never asked for.
class Transport {
public:
    virtual ~Transport() = default;

    virtual bool broken() const = 0;
    // Watched by the run loop; processEvents() takes what has arrived, false once broken.
    virtual int fd() const = 0;
    virtual bool processEvents() = 0;
    // The desktop with everything it did before the call.
    virtual const Snapshot& sync() = 0;

    // Switches to its workspace, restores it when minimised, raises and focuses it.
    virtual bool focus(const Window& w) = 0;
    // Puts the windows above the others without focusing them, the last one on top.
    virtual bool raise(const std::vector<const Window*>& backToFront) = 0;
    virtual bool close(const std::vector<const Window*>& windows) = 0;
    // The frame's top-left corner and size, in the desktop's coordinates.
    virtual bool move(const Window& w, std::int64_t x, std::int64_t y) = 0;
    virtual bool resize(const Window& w, std::int64_t width, std::int64_t height) = 0;
    virtual bool minimise(const Window& w, bool minimised) = 0;
    // A close keystroke to `raised`, the window the agent raised last, when it is the focused one.
    virtual ScriptResult closeKeystroke(std::optional<std::int64_t> /*raised*/) {
        return {
            false, {}, "this desktop asks every window to close itself; there is no close keystroke to send"};
    }
    // Each window's own pixels (an empty image where none); the others get the theme's icon.
    virtual std::vector<Image> icons(const std::vector<const Window*>& windows) {
        return std::vector<Image>(windows.size());
    }

    // Where the transport's own diagnostics go.
    virtual void setLog(std::function<void(const std::string&)> /*log*/) {}

    // Waits for the desktop since connecting: requests sent together count once.
    virtual std::uint64_t roundTrips() const = 0;
    // How element descriptions name the desktop and a window of it.
    virtual std::string name() const = 0;
    virtual std::string windowName(std::int64_t id) const = 0;
};

}  // namespace tarvolin::desktop
