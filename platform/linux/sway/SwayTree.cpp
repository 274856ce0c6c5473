#include "SwayTree.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <utility>

namespace tarvolin::sway {

namespace {

using nlohmann::json;

constexpr std::string_view kScratchpad = "__i3_scratch";

std::optional<std::string> text(const json& node, const char* key) {
    auto it = node.find(key);
    if (it == node.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

std::optional<std::int64_t> integer(const json& node, const char* key) {
    auto it = node.find(key);
    if (it == node.end() || !it->is_number_integer()) return std::nullopt;
    return it->get<std::int64_t>();
}

LayoutRect rectOf(const json& node, const char* key = "rect") {
    LayoutRect r;
    auto it = node.find(key);
    if (it == node.end() || !it->is_object()) return r;
    r.x = integer(*it, "x").value_or(0);
    r.y = integer(*it, "y").value_or(0);
    r.width = std::max<std::int64_t>(0, integer(*it, "width").value_or(0));
    r.height = std::max<std::int64_t>(0, integer(*it, "height").value_or(0));
    return r;
}

// Children in the order the focus list gives, most recently focused first; children it
// does not name (sway leaves some out) follow in tree order.
std::vector<const json*> childrenInFocusOrder(const json& node) {
    std::vector<const json*> children;
    for (const char* key : {"nodes", "floating_nodes"}) {
        auto it = node.find(key);
        if (it == node.end() || !it->is_array()) continue;
        for (const json& c : *it)
            if (c.is_object()) children.push_back(&c);
    }
    auto focus = node.find("focus");
    if (focus == node.end() || !focus->is_array()) return children;
    std::vector<std::pair<std::optional<std::int64_t>, const json*>> byId;
    for (const json* c : children) byId.emplace_back(integer(*c, "id"), c);
    std::vector<const json*> ordered;
    for (const json& id : *focus) {
        if (!id.is_number_integer()) continue;
        auto it = std::find_if(byId.begin(), byId.end(),
                               [&](const auto& c) { return c.second && c.first == id.get<std::int64_t>(); });
        if (it == byId.end()) continue;
        ordered.push_back(std::exchange(it->second, nullptr));
    }
    for (const auto& c : byId)
        if (c.second) ordered.push_back(c.second);
    return ordered;
}

bool isView(const json& node, const std::vector<const json*>& children) {
    const auto type = text(node, "type");
    if (type != "con" && type != "floating_con") return false;
    if (!children.empty()) return false;
    // Split containers have neither a client process nor a shell.
    return node.contains("pid") || node.contains("app_id") || node.contains("window_properties");
}

void collect(const json& node, std::string workspace, bool floating, std::vector<View>& out) {
    if (!node.is_object()) return;
    if (text(node, "type") == "workspace") workspace = text(node, "name").value_or("");
    if (text(node, "type") == "floating_con") floating = true;
    const auto children = childrenInFocusOrder(node);
    if (!isView(node, children)) {
        for (const json* c : children) collect(*c, workspace, floating, out);
        return;
    }
    auto id = integer(node, "id");
    if (!id) return;
    View v;
    v.id = *id;
    if (auto pid = integer(node, "pid"); pid && *pid > 0 && *pid <= INT32_MAX)
        v.pid = static_cast<std::int32_t>(*pid);
    v.title = text(node, "name");
    v.app = text(node, "app_id");
    if (!v.app) {
        auto props = node.find("window_properties");
        if (props != node.end() && props->is_object()) v.app = text(*props, "class");
    }
    v.rect = rectOf(node);
    // sway leaves the title bar out of the rectangle and describes it apart.
    if (const std::int64_t bar = rectOf(node, "deco_rect").height; bar > 0) {
        v.rect.y -= bar;
        v.rect.height += bar;
    }
    v.workspace = workspace;
    v.scratchpad = workspace == kScratchpad;
    v.floating = floating;
    auto focused = node.find("focused");
    v.focused = focused != node.end() && focused->is_boolean() && focused->get<bool>();
    auto opacity = node.find("opacity");
    if (opacity != node.end() && opacity->is_number()) {
        const double o = opacity->get<double>();
        v.opacity = std::isfinite(o) ? o : 1.0;
    }
    out.push_back(std::move(v));
}

}  // namespace

const View* Layout::find(std::int64_t id) const {
    auto it = std::find_if(views.begin(), views.end(), [id](const View& v) { return v.id == id; });
    return it == views.end() ? nullptr : &*it;
}

std::vector<View> viewsOf(const json& tree) {
    std::vector<View> out;
    collect(tree, {}, false, out);
    // The focus lists can lag behind a change of layout; the focused view is in front regardless.
    auto focused = std::find_if(out.begin(), out.end(), [](const View& v) { return v.focused; });
    if (focused != out.end()) std::rotate(out.begin(), focused, focused + 1);
    return out;
}

std::vector<Output> outputsOf(const json& outputs) {
    std::vector<Output> out;
    if (!outputs.is_array()) return out;
    for (const json& o : outputs) {
        if (!o.is_object()) continue;
        auto active = o.find("active");
        if (active != o.end() && active->is_boolean() && !active->get<bool>()) continue;
        auto focused = o.find("focused");
        out.push_back(Output{text(o, "name").value_or(""), rectOf(o),
                             focused != o.end() && focused->is_boolean() && focused->get<bool>()});
    }
    std::stable_partition(out.begin(), out.end(), [](const Output& o) { return o.focused; });
    return out;
}

Layout parseLayout(const std::string& treeText, const std::string& outputsText) {
    Layout l;
    l.views = viewsOf(json::parse(treeText));
    l.outputs = outputsOf(json::parse(outputsText));
    return l;
}

std::vector<Rect> screenFrames(const std::vector<Output>& outputs) {
    std::vector<Rect> out;
    if (outputs.empty()) return out;
    const LayoutRect& p = outputs.front().rect;
    for (const Output& o : outputs)
        out.push_back(Rect{double(o.rect.x - p.x), double((p.y + p.height) - (o.rect.y + o.rect.height)),
                           double(o.rect.width), double(o.rect.height)});
    return out;
}

std::string conCommand(std::int64_t id, const std::string& command) {
    return "[con_id=" + std::to_string(id) + "] " + command;
}

}  // namespace tarvolin::sway
