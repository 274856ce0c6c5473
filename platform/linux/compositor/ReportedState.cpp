#include "ReportedState.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>

namespace tarvolin::compositor {

using nlohmann::json;

std::int64_t windowNumber(std::string_view nativeId) {
    // FNV-1a: the same number in every process, for as long as the compositor keeps the id.
    std::uint32_t hash = 2166136261u;
    for (unsigned char c : nativeId) hash = (hash ^ c) * 16777619u;
    const std::int64_t n = hash & 0x7fffffffu;
    return n == 0 ? 1 : n;
}

namespace {

struct BadMessage {
    std::string what;
};

const json& field(const json& object, const char* key, json::value_t type, const char* what) {
    auto it = object.find(key);
    const bool number = type == json::value_t::number_float;
    if (it == object.end() || (number ? !it->is_number() : it->type() != type))
        throw BadMessage{std::string(key) + " is missing or not " + what};
    return *it;
}

std::string text(const json& o, const char* key) {
    return field(o, key, json::value_t::string, "text").get<std::string>();
}
bool flag(const json& o, const char* key) {
    return field(o, key, json::value_t::boolean, "true or false").get<bool>();
}
std::int64_t coordinate(const json& o, const char* key) {
    const double v = field(o, key, json::value_t::number_float, "a number").get<double>();
    if (!std::isfinite(v) || std::fabs(v) > 1e9) throw BadMessage{std::string(key) + " is out of range"};
    return std::llround(v);
}
Box box(const json& o) {
    if (!o.is_object()) throw BadMessage{"a rectangle is not an object"};
    return {coordinate(o, "x"), coordinate(o, "y"), coordinate(o, "w"), coordinate(o, "h")};
}
const json& list(const json& o, const char* key) { return field(o, key, json::value_t::array, "a list"); }

struct Described {
    std::string id;
    Window window;
};

Described describe(const json& d) {
    if (!d.is_object()) throw BadMessage{"a window is not an object"};
    Described out{text(d, "id"), {}};
    Window& w = out.window;
    // The compositor says 0 where it does not know.
    const double pid = field(d, "pid", json::value_t::number_float, "a number").get<double>();
    if (pid >= 1 && pid <= std::numeric_limits<std::int32_t>::max()) w.pid = static_cast<std::int32_t>(pid);
    w.title = text(d, "title");
    w.app = text(d, "app");
    if (w.app->empty()) w.app.reset();
    w.frame = box(field(d, "frame", json::value_t::object, "a rectangle"));
    w.minimised = flag(d, "minimised");
    w.workspace = text(d, "desktop");
    w.canClose = flag(d, "close");
    w.canMove = flag(d, "move");
    w.canMinimise = flag(d, "minimise");
    return out;
}

}  // namespace

std::int64_t ReportedState::number(const std::string& id) {
    goneAt_.erase(id);
    if (auto it = numbers_.find(id); it != numbers_.end()) return it->second;
    std::int64_t n = windowNumber(id);
    while (numbered_.count(n)) n = n % 0x7fffffff + 1;
    numbered_[n] = id;
    numbers_[id] = n;
    return n;
}

void ReportedState::gone(const std::string& id) {
    if (!windows_.erase(id)) return;
    std::erase(order_, id);
    const Clock::time_point now = now_();
    goneAt_[id] = now;
    goneOrder_.emplace_back(now, id);
}

void ReportedState::forgetLongGone() {
    const Clock::time_point now = now_();
    while (!goneOrder_.empty() && now - goneOrder_.front().first >= kKeepGone) {
        const auto [at, id] = std::move(goneOrder_.front());
        goneOrder_.pop_front();
        // Unless it came back since, or went again later (a later entry stands for that).
        auto g = goneAt_.find(id);
        if (g == goneAt_.end() || g->second != at) continue;
        goneAt_.erase(g);
        if (auto it = numbers_.find(id); it != numbers_.end()) {
            numbered_.erase(it->second);
            numbers_.erase(it);
        }
    }
}

std::optional<std::string> ReportedState::nativeId(std::int64_t number) const {
    auto it = numbered_.find(number);
    if (it == numbered_.end() || !windows_.count(it->second)) return std::nullopt;
    return it->second;
}

bool ReportedState::apply(std::string_view message, std::string& error) {
    return apply(json::parse(message, nullptr, false), error);
}

bool ReportedState::apply(const json& m, std::string& error) {
    if (!m.is_object()) {
        error = "not a JSON object";
        return false;
    }
    // Everything is read before anything changes: a bad message leaves the state as it was.
    std::vector<Described> described;
    std::vector<std::string> goneIds;
    std::optional<std::string> active;
    std::optional<std::vector<Box>> screens;
    int hello = 0;
    try {
        if (m.contains("hello")) {
            hello = static_cast<int>(coordinate(m, "hello"));
            if (hello <= 0) throw BadMessage{"hello names no version"};
        }
        if (m.contains("windows"))
            for (const json& d : list(m, "windows")) described.push_back(describe(d));
        if (m.contains("gone"))
            for (const json& id : list(m, "gone")) {
                if (!id.is_string()) throw BadMessage{"a window gone is not named by text"};
                goneIds.push_back(id.get<std::string>());
            }
        if (m.contains("active")) active = text(m, "active");
        if (m.contains("screens")) {
            screens.emplace();
            for (const json& s : list(m, "screens")) screens->push_back(box(s));
        }
    } catch (const BadMessage& bad) {
        error = bad.what;
        return false;
    }

    forgetLongGone();
    if (hello) {
        // A script started afresh: what it says replaces everything.
        hello_ = hello;
        ++hellos_;
        std::set<std::string> listed;
        for (const Described& d : described) listed.insert(d.id);
        for (const std::string& id : std::vector<std::string>(order_))
            if (!listed.count(id)) gone(id);
        windows_.clear();
        order_.clear();
        active_.clear();
    }
    for (Described& d : described) {
        d.window.id = number(d.id);
        // Each new window comes on top; a first list comes bottom first.
        if (!windows_.count(d.id)) order_.insert(order_.begin(), d.id);
        windows_[d.id] = Record{std::move(d.window), d.id};
    }
    for (const std::string& id : goneIds) gone(id);
    if (active) {
        active_ = *active;
        if (auto it = std::find(order_.begin(), order_.end(), active_); it != order_.end())
            std::rotate(order_.begin(), it, it + 1);
    }
    if (screens) screens_ = std::move(*screens);
    changed_ = true;
    return true;
}

void ReportedState::setPrimary(const std::optional<Box>& primary) {
    if (primary == primary_) return;
    primary_ = primary;
    changed_ = true;
}

const Snapshot& ReportedState::snapshot() {
    if (!changed_) return snapshot_;
    snapshot_.frontFirst.clear();
    for (const std::string& id : order_) {
        Window w = windows_.at(id).window;
        w.focused = id == active_;
        snapshot_.frontFirst.push_back(std::move(w));
    }
    std::vector<Box> screens = screens_;
    if (auto p = primary_ ? std::find(screens.begin(), screens.end(), *primary_) : screens.end();
        p != screens.end())
        std::rotate(screens.begin(), p, p + 1);
    snapshot_.monitors.clear();
    for (const Box& s : screens) snapshot_.monitors.push_back({s, snapshot_.monitors.empty()});
    ++snapshot_.generation;
    changed_ = false;
    return snapshot_;
}

}  // namespace tarvolin::compositor
