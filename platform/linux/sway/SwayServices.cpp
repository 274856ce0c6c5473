#include "SwayServices.h"

#include "platform/ScriptParser.h"

namespace tarvolin::sway {

namespace {

constexpr std::int32_t kProcessNotFound = -600;

}  // namespace

std::optional<std::vector<WindowDescription>> SwayWindowService::copyWindowInfo(
    std::uint32_t /*option*/, std::uint32_t /*relativeTo*/) {
    const Layout& l = core_->fresh();
    if (core_->broken()) return std::nullopt;
    std::vector<WindowDescription> out;
    out.reserve(l.views.size());
    for (const View& v : l.views) {
        // A translucent view is reported with its opacity, which the scan leaves out as on X11.
        WindowDescription d;
        d.layer = std::int64_t{0};
        if (v.pid) d.ownerPid = std::int64_t{*v.pid};
        d.number = v.id;
        d.name = v.title;
        d.alpha = v.opacity.value_or(1.0);
        d.bounds = WindowBounds{v.rect.x - l.originX(), v.rect.y - l.originY(), v.rect.width, v.rect.height};
        out.push_back(std::move(d));
    }
    return out;
}

std::vector<RunningApplication> SwayWorkspace::runningApplications() {
    if (core_->broken()) return {};
    std::vector<RunningApplication> out;
    for (const AppRecord& app : core_->applications())
        out.push_back(RunningApplication{app.pid, app.name, core_->icon(app.appId), {}});
    return out;
}

std::optional<ProcessSerialNumber> SwayProcessManager::getProcessForPID(std::int32_t pid) {
    if (pid <= 0 || core_->broken() || !core_->application(pid)) return std::nullopt;
    return ProcessSerialNumber{0, static_cast<std::uint32_t>(pid)};
}

std::int32_t SwayProcessManager::setFrontProcessWithOptions(const ProcessSerialNumber& psn, std::uint32_t) {
    if (psn.highLongOfPSN != 0 || psn.lowLongOfPSN > INT32_MAX) return kProcessNotFound;
    auto app = core_->application(static_cast<std::int32_t>(psn.lowLongOfPSN));
    if (!app || !app->front) return kProcessNotFound;
    // A tiling desktop shows one view of a process in front: its most recent one.
    return core_->run({conCommand(*app->front, "focus")}) ? 0 : kProcessNotFound;
}

ScriptResult SwayScriptHost::executeScript(std::string_view source) {
    ParsedScript parsed = parseScript(source);
    if (auto* e = std::get_if<ScriptError>(&parsed)) return ScriptResult{false, {}, e->message};
    if (std::holds_alternative<CloseKeystroke>(parsed))
        return ScriptResult{
            false, {}, "sway asks every view to close itself; there is no close keystroke to send"};
    if (core_->broken()) return ScriptResult{false, {}, "the connection to sway is broken"};

    const bool quit = std::holds_alternative<QuitApplication>(parsed);
    const std::string& name =
        quit ? std::get<QuitApplication>(parsed).name : std::get<ActivateApplication>(parsed).name;
    std::vector<AppRecord> theirs;
    for (const AppRecord& app : core_->applications())
        if (app.name == name) theirs.push_back(app);
    if (theirs.empty()) return ScriptResult{false, {}, "no running application is named \"" + name + "\""};

    std::vector<std::string> commands;
    if (quit) {
        // A polite request per view: the client may still ask to save its work.
        for (const AppRecord& app : theirs)
            for (std::int64_t id : app.frontFirst) commands.push_back(conCommand(id, "kill"));
    } else {
        // The process whose front view is the most recently focused; the views are front first.
        const Layout& l = core_->current();
        std::optional<std::int64_t> front;
        for (const View& v : l.views) {
            for (const AppRecord& app : theirs)
                if (app.front == v.id) front = v.id;
            if (front) break;
        }
        commands.push_back(conCommand(front.value_or(*theirs.front().front), "focus"));
    }
    if (!core_->run(commands)) return ScriptResult{false, {}, "sway refused: " + commands.front()};
    return ScriptResult{true, {}, {}};
}

}  // namespace tarvolin::sway
