#pragma once

#include "platform/linux/desktop/Snapshot.h"

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tarvolin::sway {

using LayoutRect = desktop::Box;

// One view (a toplevel of a Wayland or Xwayland client) as the tree shows it.
struct View {
    std::int64_t id = 0;  // the container id
    std::optional<std::int32_t> pid;
    std::optional<std::string> title;
    std::optional<std::string> app;  // app_id, or the X class under Xwayland
    LayoutRect rect;                 // with its decoration, in layout coordinates
    std::string workspace;
    bool scratchpad = false;
    bool floating = false;
    bool focused = false;
    std::optional<double> opacity;         // where sway reports one
    std::optional<std::uint32_t> xWindow;  // the X window of an Xwayland view
    friend bool operator==(const View&, const View&) = default;
};

struct Output {
    std::string name;
    LayoutRect rect;
    bool focused = false;
};

// The desktop as one get_tree and one get_outputs describe it, kept up to date by events.
// Front first means most recently focused first: a focus event, or the focused view of a
// fetched tree, brings a view to the front; the others keep the places they had, and views
// new to the layout follow them in the tree's focus order. So a tree fetched later agrees
// with what the events made.
struct Layout {
    std::vector<View> views;      // front first
    std::vector<Output> outputs;  // active ones, the primary (focused, else first) first

    const View* find(std::int64_t id) const;
};

// Throw nlohmann::json exceptions on text that is not JSON; anything of the wrong shape
// inside valid JSON is skipped, as is a view or output with a number out of range (an id
// beyond 63 bits, a coordinate beyond 32) and what nests deeper than any real tree.
std::vector<View> viewsOf(const nlohmann::json& tree);
std::vector<Output> outputsOf(const nlohmann::json& outputs);
Layout parseLayout(const std::string& treeText, const std::string& outputsText);

// What an event leaves for the caller to fetch: nothing, the outputs, or the whole tree.
enum class Effect { applied, needsOutputs, needsTree };
// Applies a window, workspace or output event (a type with kEventBit); never throws.
Effect applyEvent(Layout& layout, std::uint32_t eventType, const std::string& payload);
// Replaces the layout by a fetched one, its views in the order above.
void adoptTree(Layout& layout, Layout fetched);


// A command's criteria naming one container.
std::string conCommand(std::int64_t id, const std::string& command);

}  // namespace tarvolin::sway
