#include "SwayCore.h"

#include <nlohmann/json.hpp>

namespace tarvolin::sway {

namespace {

bool changesTheTree(const Message& m) {
    return m.type == static_cast<std::uint32_t>(EventType::window) ||
           m.type == static_cast<std::uint32_t>(EventType::workspace) ||
           m.type == static_cast<std::uint32_t>(EventType::output);
}

}  // namespace

Core::Core(std::unique_ptr<Connection> events, std::unique_ptr<Connection> commands)
    : events_(std::move(events)), commands_(std::move(commands)) {}

Connection::EventHandler Core::staleOn(bool& flag) {
    return [&flag](const Message& m) {
        if (changesTheTree(m)) flag = true;
    };
}

void Core::fetch() {
    // Events before the outputs' reply are in both answers; one between the two replies
    // may be missing from the outputs, so it leaves the mirror stale.
    bool afterOutputs = false;
    bool changedBetween = false;
    auto onEvent = [&](const Message& m) {
        if (afterOutputs && changesTheTree(m)) changedBetween = true;
    };
    stale_ = true;
    if (!events_->send(MessageType::getOutputs) || !events_->send(MessageType::getTree)) return;
    auto outputs = events_->reply(onEvent);
    afterOutputs = true;
    auto tree = events_->reply(onEvent);
    if (!outputs || !tree) return;
    try {
        layout_ = parseLayout(*tree, *outputs);
        ++generation_;
        stale_ = changedBetween;
    } catch (const nlohmann::json::exception&) {
        // Not JSON: the old mirror stays, still stale, and the next look asks again.
    }
}

const Layout& Core::fresh() {
    if (!stale_ && !broken()) {
        // Every event sent before the barrier's reply has arrived by then.
        events_->request(MessageType::getVersion, {}, staleOn(stale_));
    }
    if (stale_ && !broken()) fetch();
    return layout_;
}

const Layout& Core::current() {
    events_->drain(staleOn(stale_));
    if (stale_ && !broken()) fetch();
    return layout_;
}

bool Core::processEvents() { return events_->drain(staleOn(stale_)) && !commands_->broken(); }

bool Core::run(const std::vector<std::string>& commands) {
    if (commands.empty()) return true;
    std::string text;
    for (const std::string& c : commands) text += (text.empty() ? "" : "; ") + c;
    auto reply = commands_->request(MessageType::runCommand, text);
    // The events of what the commands did may still be on their way.
    stale_ = true;
    if (!reply) return false;
    try {
        auto results = nlohmann::json::parse(*reply);
        if (!results.is_array() || results.size() != commands.size()) return false;
        for (const auto& r : results)
            if (!r.is_object() || r.value("success", false) != true) return false;
        return true;
    } catch (const nlohmann::json::exception&) {
        return false;
    }
}

const std::vector<AppRecord>& Core::applications() {
    const Layout& l = current();
    if (appsGeneration_ == generation_ && generation_ != 0) return apps_;
    std::map<std::int32_t, AppRecord> byPid;
    std::map<std::int32_t, std::int64_t> namedBy;
    std::map<std::int32_t, bool> frontHidden;  // its front so far is in the scratchpad
    for (const View& v : l.views) {
        if (!v.pid) continue;
        AppRecord& app = byPid[*v.pid];
        app.pid = *v.pid;
        app.frontFirst.push_back(v.id);
        if (!app.front || (!v.scratchpad && frontHidden[*v.pid])) {
            app.front = v.id;
            frontHidden[*v.pid] = v.scratchpad;
        }
        // The oldest view with an app name names the process.
        if (v.app && (!app.appId || v.id < namedBy[*v.pid])) {
            app.appId = v.app;
            namedBy[*v.pid] = v.id;
        }
    }
    apps_.clear();
    for (auto& [pid, app] : byPid) {
        app.name = app.appId ? app.appId : processName(pid);
        apps_.push_back(std::move(app));
    }
    appsGeneration_ = generation_;
    return apps_;
}

std::optional<AppRecord> Core::application(std::int32_t pid) {
    for (const AppRecord& app : applications())
        if (app.pid == pid) return app;
    return std::nullopt;
}

}  // namespace tarvolin::sway
