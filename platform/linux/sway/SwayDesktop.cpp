#include "SwayDesktop.h"

#include "SwayIpc.h"
#include "SwayTree.h"

#include <nlohmann/json.hpp>

#include <set>

namespace tarvolin {

namespace sway {

namespace {

bool changesTheTree(const Message& m) {
    return m.type == static_cast<std::uint32_t>(EventType::window) ||
           m.type == static_cast<std::uint32_t>(EventType::workspace) ||
           m.type == static_cast<std::uint32_t>(EventType::output);
}

}  // namespace

// sway's tree mapped onto the desktop model. Events only mark the mirror stale; the tree is
// fetched again at the next sync, so a burst of events costs one fetch. Commands go on a
// connection of their own, so that their replies never wait behind events.
class SwayTransport final : public desktop::Transport {
public:
    SwayTransport(std::unique_ptr<Connection> events, std::unique_ptr<Connection> commands)
        : events_(std::move(events)), commands_(std::move(commands)) {}

    std::uint64_t roundTrips() const override { return events_->roundTrips() + commands_->roundTrips(); }
    bool broken() const override { return events_->broken() || commands_->broken(); }
    int fd() const override { return events_->fd(); }
    bool processEvents() override { return events_->drain(staleOn(stale_)) && !commands_->broken(); }

    const desktop::Snapshot& sync() override {
        // Every event sent before the barrier's reply has arrived by then.
        if (!stale_ && !broken()) events_->request(MessageType::getVersion, {}, staleOn(stale_));
        if (stale_ && !broken()) fetch();
        return snapshot_;
    }

    bool focus(const desktop::Window& w) override {
        std::vector<std::string> commands;
        if (w.minimised) restore(w, commands);
        // sway switches to the view's workspace (and output) itself.
        commands.push_back(conCommand(w.id, "focus"));
        return run(commands).empty();
    }
    // A tiling desktop has no stacking to raise in without focus: each is focused in turn.
    bool raise(const std::vector<const desktop::Window*>& backToFront) override {
        std::vector<std::string> commands;
        for (const desktop::Window* w : backToFront) commands.push_back(conCommand(w->id, "focus"));
        return run(commands).empty();
    }
    bool close(const std::vector<const desktop::Window*>& windows) override {
        std::vector<std::string> commands;
        for (const desktop::Window* w : windows) commands.push_back(conCommand(w->id, "kill"));
        auto refused = run(commands);
        if (refused.empty()) return true;
        // A view that vanished meanwhile is closed all the same.
        const desktop::Snapshot& now = sync();
        return std::none_of(refused.begin(), refused.end(),
                            [&](size_t i) { return now.find(windows[i]->id); });
    }
    bool move(const desktop::Window& w, std::int64_t x, std::int64_t y) override {
        return run({moveTo(w.id, x, y)}).empty();
    }
    bool resize(const desktop::Window& w, std::int64_t width, std::int64_t height) override {
        // sway resizes about the centre; the top-left corner stays, as elsewhere.
        return run({conCommand(w.id, "resize set width " + std::to_string(width) + " px height " +
                                         std::to_string(height) + " px"),
                    moveTo(w.id, w.frame->x, w.frame->y)})
            .empty();
    }
    bool minimise(const desktop::Window& w, bool minimised) override {
        std::vector<std::string> commands;
        if (!minimised) {
            restore(w, commands);
        } else {
            if (const View* v = layout_.find(w.id); v && !v->floating) tiled_.insert(w.id);
            commands.push_back(conCommand(w.id, "move scratchpad"));
        }
        return run(commands).empty();
    }

    std::string name() const override { return "sway"; }
    std::string windowName(std::int64_t id) const override { return "sway view " + std::to_string(id); }

private:
    Connection::EventHandler staleOn(bool& flag) {
        return [&flag](const Message& m) {
            if (changesTheTree(m)) flag = true;
        };
    }

    void fetch() {
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
        } catch (const nlohmann::json::exception&) {
            return;  // not JSON: the old mirror stays, still stale, and the next look asks again
        }
        stale_ = changedBetween;
        build();
    }

    void build() {
        snapshot_.frontFirst.clear();
        for (const View& v : layout_.views) {
            desktop::Window w;
            w.id = v.id;
            w.pid = v.pid;
            w.title = v.title;
            w.app = v.app;
            w.frame = desktop::Box{v.rect.x, v.rect.y, v.rect.width, v.rect.height};
            w.alpha = v.opacity.value_or(1.0);
            w.workspace = v.workspace;
            w.minimised = v.scratchpad;
            w.focused = v.focused;
            w.canClose = true;
            // The tiling layout places tiled views; only floating ones go where they are told.
            w.canMove = v.floating;
            w.canMinimise = true;
            snapshot_.frontFirst.push_back(std::move(w));
        }
        snapshot_.monitors.clear();
        for (const Output& o : layout_.outputs)
            snapshot_.monitors.push_back({{o.rect.x, o.rect.y, o.rect.width, o.rect.height}, o.focused});
        std::erase_if(tiled_, [&](std::int64_t id) { return !layout_.find(id); });
        ++snapshot_.generation;
    }

    // Back from the scratchpad, where it was: a view that was tiled is tiled again.
    void restore(const desktop::Window& w, std::vector<std::string>& commands) {
        commands.push_back(conCommand(w.id, "scratchpad show"));
        if (tiled_.erase(w.id)) commands.push_back(conCommand(w.id, "floating disable"));
    }

    static std::string moveTo(std::int64_t id, std::int64_t x, std::int64_t y) {
        return conCommand(id,
                          "move absolute position " + std::to_string(x) + " px " + std::to_string(y) + " px");
    }

    // Runs the commands as one message; the indices of those sway did not carry out.
    std::vector<size_t> run(const std::vector<std::string>& commands) {
        std::vector<size_t> refused;
        if (commands.empty()) return refused;
        std::string text;
        for (const std::string& c : commands) text += (text.empty() ? "" : "; ") + c;
        auto reply = commands_->request(MessageType::runCommand, text);
        // The events of what the commands did may still be on their way.
        stale_ = true;
        nlohmann::json results;
        try {
            if (reply) results = nlohmann::json::parse(*reply);
        } catch (const nlohmann::json::exception&) {
        }
        for (size_t i = 0; i < commands.size(); ++i) {
            const bool done = results.is_array() && i < results.size() && results[i].is_object() &&
                              results[i].value("success", false) == true;
            if (!done) refused.push_back(i);
        }
        return refused;
    }

    std::unique_ptr<Connection> events_;
    std::unique_ptr<Connection> commands_;
    Layout layout_;
    bool stale_ = true;
    desktop::Snapshot snapshot_;
    std::set<std::int64_t> tiled_;  // views minimised from the tiling layout
};

}  // namespace sway

std::unique_ptr<DesktopBackend> SwayDesktop::connect(const std::string& socketPath,
                                                     NotificationCenter& workspaceCenter, std::string& error,
                                                     desktop::BundleLookup bundleLookup) {
    auto events = sway::Connection::open(socketPath, error);
    if (!events) return nullptr;
    auto commands = sway::Connection::open(socketPath, error);
    if (!commands) return nullptr;
    auto subscribe = [&](const char* names) {
        auto reply = events->request(sway::MessageType::subscribe, names);
        try {
            return reply && nlohmann::json::parse(*reply).value("success", false);
        } catch (const nlohmann::json::exception&) {
            return false;
        }
    };
    if (!subscribe(R"(["window","workspace","shutdown"])")) {
        error = "sway at " + socketPath + " refused the event subscription" +
                (events->failure().empty() ? "" : ": " + events->failure());
        return nullptr;
    }
    // sway 1.7 has no output events; there a change of outputs comes with workspace events.
    subscribe(R"(["output"])");
    return std::make_unique<DesktopBackend>(
        std::make_unique<sway::SwayTransport>(std::move(events), std::move(commands)), workspaceCenter,
        std::move(bundleLookup));
}

}  // namespace tarvolin
