#include "SwayDesktop.h"

#include "SwayIpc.h"
#include "SwayTree.h"
#include "XwaylandProtocols.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>

namespace tarvolin {

namespace sway {

// sway's tree mapped onto the desktop model, kept from its events: a window event carries the
// whole container, so the tree is fetched only at start and when an event cannot be applied.
// Commands go on a connection of their own, so that their replies never wait behind events.
class SwayTransport final : public desktop::Transport {
public:
    SwayTransport(std::unique_ptr<Connection> events, std::unique_ptr<Connection> commands)
        : events_(std::move(events)), commands_(std::move(commands)) {
        const char* display = std::getenv("DISPLAY");
        xwayland_ = std::make_unique<XwaylandProtocols>(display ? display : "");
    }

    std::uint64_t roundTrips() const override { return events_->roundTrips() + commands_->roundTrips(); }
    bool broken() const override { return events_->broken() || commands_->broken(); }
    int fd() const override { return events_->fd(); }
    bool processEvents() override { return events_->drain(applier()) && !commands_->broken(); }

    const desktop::Snapshot& sync() override {
        // Every event sent before the barrier's reply has arrived by then.
        if (!broken()) events_->request(MessageType::getVersion, {}, applier());
        // Each fetch answers what was asked before it; what came during it takes one more.
        for (int i = 0; i < 3 && !broken() && (needs_ != Effect::applied || !snapshot_.generation); ++i)
            fetch();
        if (changed_) build();
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
        std::vector<std::int64_t> refused;
        for (size_t i : run(commands)) refused.push_back(windows[i]->id);
        if (refused.empty()) return true;
        // A view that vanished meanwhile is closed all the same. (The sync rebuilds the snapshot
        // the windows point into: only their ids are kept.)
        const desktop::Snapshot& now = sync();
        return std::none_of(refused.begin(), refused.end(), [&](std::int64_t id) { return now.find(id); });
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
    Connection::EventHandler applier() {
        return [this](const Message& m) {
            if (m.type == std::uint32_t(EventType::shutdown)) return;
            const Effect e = applyEvent(layout_, m.type, m.payload);
            needs_ = std::max(needs_, e);
            changed_ = true;
        };
    }

    // The outputs alone, or with the tree, pipelined: one round trip. What an event before a
    // reply did is in that reply; an event between the two replies may be missing from the
    // outputs, so it leaves them to fetch again.
    void fetch() {
        const bool tree = needs_ == Effect::needsTree || !snapshot_.generation;
        Effect between = Effect::applied;
        bool afterOutputs = false;
        const auto apply = applier();  // with the outputs alone, an event is in no reply
        auto onEvent = [&](const Message& m) {
            if (!tree)
                apply(m);
            else if (afterOutputs && m.type != std::uint32_t(EventType::shutdown))
                between = Effect::needsOutputs;
        };
        if (!events_->send(MessageType::getOutputs) || (tree && !events_->send(MessageType::getTree))) return;
        auto outputs = events_->reply(onEvent);
        afterOutputs = true;
        auto treeText = tree ? events_->reply(onEvent) : std::optional<std::string>("{}");
        if (!outputs || !treeText) return;
        try {
            Layout fetched = parseLayout(*treeText, *outputs);
            if (tree)
                adoptTree(layout_, std::move(fetched));
            else
                layout_.outputs = std::move(fetched.outputs);
        } catch (const nlohmann::json::exception&) {
            return;  // not JSON: the old mirror stays, and the next look asks again
        }
        needs_ = tree || needs_ != Effect::needsTree ? between : Effect::needsTree;
        changed_ = true;
    }

    void build() {
        std::erase_if(speaksDelete_, [&](const auto& known) { return !layout_.find(known.first); });
        std::vector<std::int64_t> ask;
        std::vector<std::uint32_t> windows;
        for (const View& v : layout_.views)
            if (v.xWindow && !speaksDelete_.count(v.id)) ask.push_back(v.id), windows.push_back(*v.xWindow);
        if (!windows.empty()) {
            std::vector<bool> answers = xwayland_->speakDelete(windows);
            for (size_t i = 0; i < ask.size(); ++i) speaksDelete_[ask[i]] = answers[i];
        }
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
            // sway's kill ends an X client that does not speak the close protocol.
            w.canClose = !v.xWindow || speaksDelete_[v.id];
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
        changed_ = false;
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
        nlohmann::json results;
        try {
            if (reply) results = nlohmann::json::parse(*reply);
        } catch (const nlohmann::json::exception&) {
        }
        for (size_t i = 0; i < commands.size(); ++i) {
            const bool done = results.is_array() && i < results.size() && results[i].is_object() &&
                              results[i].contains("success") && results[i]["success"] == true;
            if (!done) refused.push_back(i);
        }
        return refused;
    }

    std::unique_ptr<Connection> events_;
    std::unique_ptr<Connection> commands_;
    Layout layout_;
    Effect needs_ = Effect::applied;  // what the events left to fetch
    bool changed_ = false;
    desktop::Snapshot snapshot_;
    std::unique_ptr<XwaylandProtocols> xwayland_;
    std::map<std::int64_t, bool> speaksDelete_;  // by view: only Xwayland views are asked
    std::set<std::int64_t> tiled_;               // views minimised from the tiling layout
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
