#include "SwayTree.h"

#include "SwayIpc.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <unordered_map>
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

// A whole number in [low, high] (high >= 0); nothing for any other value.
std::optional<std::int64_t> whole(const json& value, std::int64_t low, std::int64_t high) {
    if (value.is_number_unsigned()) {
        const auto n = value.get<std::uint64_t>();
        if (n > static_cast<std::uint64_t>(high)) return std::nullopt;
        return static_cast<std::int64_t>(n);
    }
    if (!value.is_number_integer()) return std::nullopt;
    const auto n = value.get<std::int64_t>();
    if (n < low || n > high) return std::nullopt;
    return n;
}

std::optional<std::int64_t> integer(const json& node, const char* key, std::int64_t low, std::int64_t high) {
    auto it = node.find(key);
    if (it == node.end()) return std::nullopt;
    return whole(*it, low, high);
}

constexpr std::int64_t kIdMax = INT64_MAX;

// sway's coordinates are 32-bit: a member beyond that (or not a whole number) makes the
// rectangle unusable, and with it its view or output; a member left out counts as 0.
std::optional<LayoutRect> rectOf(const json& node, const char* key = "rect") {
    LayoutRect r;
    auto it = node.find(key);
    if (it == node.end() || !it->is_object()) return r;
    for (auto [name, field] :
         {std::pair{"x", &r.x}, {"y", &r.y}, {"width", &r.width}, {"height", &r.height}}) {
        auto member = it->find(name);
        if (member == it->end()) continue;
        auto n = whole(*member, INT32_MIN, INT32_MAX);
        if (!n) return std::nullopt;
        *field = *n;
    }
    r.width = std::max<std::int64_t>(0, r.width);
    r.height = std::max<std::int64_t>(0, r.height);
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
    std::unordered_map<std::int64_t, size_t> byId;  // the first child with each id
    for (size_t i = 0; i < children.size(); ++i)
        if (auto id = integer(*children[i], "id", 0, kIdMax)) byId.emplace(*id, i);
    std::vector<const json*> ordered;
    std::vector<bool> taken(children.size());
    for (const json& entry : *focus) {
        auto id = whole(entry, 0, kIdMax);
        auto it = id ? byId.find(*id) : byId.end();
        if (it == byId.end() || taken[it->second]) continue;
        taken[it->second] = true;
        ordered.push_back(children[it->second]);
    }
    for (size_t i = 0; i < children.size(); ++i)
        if (!taken[i]) ordered.push_back(children[i]);
    return ordered;
}

bool isView(const json& node, const std::vector<const json*>& children) {
    const auto type = text(node, "type");
    if (type != "con" && type != "floating_con") return false;
    if (!children.empty()) return false;
    // Split containers have neither a client process nor a shell.
    return node.contains("pid") || node.contains("app_id") || node.contains("window_properties");
}

// A view with a number out of range is left out, not misread.
std::optional<View> viewOf(const json& node, const std::string& workspace, bool floating) {
    auto id = integer(node, "id", 0, kIdMax);
    auto rect = rectOf(node);
    auto deco = rectOf(node, "deco_rect");
    if (!id || !rect || !deco) return std::nullopt;
    View v;
    v.id = *id;
    if (auto pid = integer(node, "pid", 1, INT32_MAX)) v.pid = static_cast<std::int32_t>(*pid);
    v.title = text(node, "name");
    v.app = text(node, "app_id");
    if (!v.app) {
        auto props = node.find("window_properties");
        if (props != node.end() && props->is_object()) v.app = text(*props, "class");
    }
    v.rect = *rect;
    // sway leaves the title bar out of the rectangle and describes it apart.
    v.rect.y -= deco->height;
    v.rect.height += deco->height;
    v.workspace = workspace;
    v.scratchpad = workspace == kScratchpad;
    v.floating = floating || text(node, "type") == "floating_con";
    auto focused = node.find("focused");
    v.focused = focused != node.end() && focused->is_boolean() && focused->get<bool>();
    auto opacity = node.find("opacity");
    if (opacity != node.end() && opacity->is_number()) {
        const double o = opacity->get<double>();
        v.opacity = std::isfinite(o) ? o : 1.0;
    }
    if (text(node, "shell") == "xwayland")
        if (auto window = integer(node, "window", 0, UINT32_MAX))
            v.xWindow = static_cast<std::uint32_t>(*window);
    return v;
}

// Deeper than any desktop nests its containers; a tree beyond it is cut there, so a
// hostile one cannot exhaust the stack.
constexpr int kMaxDepth = 256;

void collect(const json& node, std::string workspace, bool floating, int depth, std::vector<View>& out) {
    if (!node.is_object() || depth > kMaxDepth) return;
    if (text(node, "type") == "workspace") workspace = text(node, "name").value_or("");
    if (text(node, "type") == "floating_con") floating = true;
    const auto children = childrenInFocusOrder(node);
    if (!isView(node, children)) {
        for (const json* c : children) collect(*c, workspace, floating, depth + 1, out);
        return;
    }
    if (auto v = viewOf(node, workspace, floating)) out.push_back(std::move(*v));
}

// nlohmann refuses a number beyond a double's range, and with it the whole reply: such a
// number is read as null instead, so only what holds it is left out. Nothing when none is.
std::optional<std::string> tameNumbers(const std::string& text) {
    std::optional<std::string> out;
    size_t copied = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '"') {
            for (++i; i < text.size() && text[i] != '"'; ++i)
                if (text[i] == '\\') ++i;
        } else if (text[i] == '-' || (text[i] >= '0' && text[i] <= '9')) {
            const size_t end = std::min(text.find_first_not_of("0123456789+-.eE", i), text.size());
            const std::string_view number(text.data() + i, end - i);
            double value = 0;
            // Only an exponent or some 300 digits can leave a double's range.
            if ((number.find_first_of("eE") != number.npos || number.size() > 300) &&
                std::from_chars(number.data(), number.data() + number.size(), value).ec ==
                    std::errc::result_out_of_range) {
                if (!out) out.emplace();
                out->append(text, copied, i - copied).append("null");
                copied = end;
            }
            i = end - 1;
        }
    }
    if (out) out->append(text, copied);
    return out;
}

json parseReply(const std::string& text, bool orThrow = true) {
    const auto tamed = tameNumbers(text);
    return json::parse(tamed ? *tamed : text, nullptr, orThrow);
}

}  // namespace

const View* Layout::find(std::int64_t id) const {
    auto it = std::find_if(views.begin(), views.end(), [id](const View& v) { return v.id == id; });
    return it == views.end() ? nullptr : &*it;
}

std::vector<View> viewsOf(const json& tree) {
    std::vector<View> out;
    collect(tree, {}, false, 0, out);
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
        auto rect = rectOf(o);
        if (!rect) continue;
        auto focused = o.find("focused");
        out.push_back(Output{text(o, "name").value_or(""), *rect,
                             focused != o.end() && focused->is_boolean() && focused->get<bool>()});
    }
    std::stable_partition(out.begin(), out.end(), [](const Output& o) { return o.focused; });
    return out;
}

Layout parseLayout(const std::string& treeText, const std::string& outputsText) {
    Layout l;
    l.views = viewsOf(parseReply(treeText));
    l.outputs = outputsOf(parseReply(outputsText));
    return l;
}

Effect applyEvent(Layout& layout, std::uint32_t eventType, const std::string& payload) {
    const json event = parseReply(payload, false);
    if (!event.is_object()) return Effect::needsTree;
    const auto change = text(event, "change");
    if (eventType == std::uint32_t(EventType::workspace)) {
        if (change != "focus")
            return change == "init" || change == "empty" || change == "urgent" ? Effect::applied
                                                                               : Effect::needsTree;
        // Focus on an empty workspace leaves no view focused, and no window event says so.
        if (viewsOf(event.value("current", json())).empty())
            for (View& v : layout.views) v.focused = false;
        return Effect::needsOutputs;
    }
    const json container = event.value("container", json());
    const auto id = integer(container, "id", 0, kIdMax);
    auto it =
        std::find_if(layout.views.begin(), layout.views.end(), [&](const View& v) { return v.id == id; });
    if (eventType != std::uint32_t(EventType::window) || it == layout.views.end()) return Effect::needsTree;
    // Closing a tiled view re-tiles its siblings, and they get no events of their own.
    if (change == "close" && (it->floating || it->scratchpad)) {
        layout.views.erase(it);
        return Effect::applied;
    }
    const bool focus = change == "focus" && !it->scratchpad;  // showing the scratchpad moves the view
    auto fresh = viewOf(container, it->workspace, it->floating);
    if (!fresh || (!focus && change != "title" && change != "mark" && change != "urgent" &&
                   change != "fullscreen_mode"))
        return Effect::needsTree;
    fresh->focused = it->focused;
    *it = std::move(*fresh);
    if (focus) {
        for (View& v : layout.views) v.focused = v.id == it->id;
        std::rotate(layout.views.begin(), it, it + 1);
    }
    return Effect::applied;
}

void adoptTree(Layout& layout, Layout fetched) {
    std::unordered_map<std::int64_t, size_t> place;
    for (const View& v : layout.views) place.emplace(v.id, place.size());
    auto key = [&](const View& v) {
        auto it = place.find(v.id);
        return std::pair(!v.focused, it == place.end() ? SIZE_MAX : it->second);
    };
    std::stable_sort(fetched.views.begin(), fetched.views.end(),
                     [&](auto& a, auto& b) { return key(a) < key(b); });
    layout = std::move(fetched);
}

std::string conCommand(std::int64_t id, const std::string& command) {
    return "[con_id=" + std::to_string(id) + "] " + command;
}

}  // namespace tarvolin::sway
