#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tarvolin::desktop {

// A rectangle in the desktop's own coordinates (x right, y down, the desktop's origin).
struct Box {
    std::int64_t x = 0, y = 0, width = 0, height = 0;
    friend bool operator==(const Box&, const Box&) = default;
};

// One window as the desktop shows it, and what the desktop allows on it.
struct Window {
    std::int64_t id = 0;
    std::optional<std::int32_t> pid;
    std::optional<std::string> title;
    std::optional<std::string> app;         // the desktop's name for its application (X class, app id)
    std::optional<Box> frame;               // decoration included
    std::optional<std::int64_t> layer = 0;  // none: a desktop window (drawn below everything)
    double alpha = 1;
    std::string workspace;
    bool minimised = false;
    bool focused = false;
    bool canClose = false;  // politely: the client is asked and may still ask to save its work
    bool canMove = false;   // and resize
    bool canMinimise = false;
    // Pixels of its own, which the transport reads: 0 none, else changes when they do.
    std::uint64_t icon = 0;
};

struct Monitor {
    Box box;
    bool primary = false;
};

// The desktop at one moment. Windows are front first: the order in which the desktop shows
// them one above another (each transport says how it knows that); the focused window leads.
struct Snapshot {
    std::vector<Window> frontFirst;
    std::vector<Monitor> monitors;  // the primary first
    // Changes whenever anything above does.
    std::uint64_t generation = 0;

    const Window* find(std::int64_t id) const {
        auto it =
            std::find_if(frontFirst.begin(), frontFirst.end(), [id](const Window& w) { return w.id == id; });
        return it == frontFirst.end() ? nullptr : &*it;
    }
    // The primary monitor's top-left corner: the origin of every position the agent gives or takes.
    Box origin() const { return monitors.empty() ? Box{} : monitors.front().box; }
};

}  // namespace tarvolin::desktop
