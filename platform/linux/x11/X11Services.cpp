#include "X11Services.h"

#include "platform/ScriptParser.h"

#include <xcb/randr.h>

#include <algorithm>

namespace tarvolin::x11 {

namespace {

// kCGDesktopWindowLevel: where desktop windows sit when a caller asks for them.
constexpr std::int64_t kDesktopLayer = -2147483623;
constexpr std::int32_t kProcessNotFound = -600;
constexpr xcb_keysym_t kKeysymControlL = 0xffe3;
constexpr xcb_keysym_t kKeysymW = 0x0077;

}  // namespace

std::optional<std::vector<WindowDescription>> X11WindowService::copyWindowInfo(
    std::uint32_t option, std::uint32_t /*relativeToWindow*/) {
    Connection& c = core_->conn();
    if (c.broken()) return std::nullopt;
    Survey s = core_->managed(kWantPid | kWantTitle | kWantKind | kWantAlpha | kWantFrame);
    std::vector<WindowDescription> out;
    out.reserve(s.windows.size());
    for (const WindowFacts& w : s.windows) {
        auto layer = layerOf(w, c.atoms());
        if (!layer) {
            if (option & kCGWindowListExcludeDesktopElements) continue;
            layer = kDesktopLayer;
        }
        WindowDescription d;
        d.layer = *layer;
        if (w.pid) d.ownerPid = static_cast<std::int64_t>(*w.pid);
        d.number = static_cast<std::int64_t>(w.id);
        d.name = w.title;
        d.alpha = w.alpha.value_or(1.0);
        if (w.frame)
            d.bounds = WindowBounds{std::int64_t{w.frame->x}, std::int64_t{w.frame->y},
                                    std::int64_t{w.frame->width}, std::int64_t{w.frame->height}};
        out.push_back(std::move(d));
    }
    if (c.broken()) return std::nullopt;
    return out;
}

std::vector<RunningApplication> X11Workspace::runningApplications() {
    if (core_->conn().broken()) return {};
    auto apps = core_->applications(kWantIconProbe);
    std::vector<Image> icons = core_->icons(apps.apps);
    std::vector<RunningApplication> out;
    out.reserve(apps.apps.size());
    for (size_t i = 0; i < apps.apps.size(); ++i)
        out.push_back(RunningApplication{apps.apps[i].pid, apps.apps[i].name, icons[i], {}});
    return out;
}

std::vector<RunningApplication> X11Workspace::runningApplicationsWithBundleIdentifier(std::string_view id) {
    return lookup_ ? lookup_(id) : std::vector<RunningApplication>{};
}

std::optional<ProcessSerialNumber> X11ProcessManager::getProcessForPID(std::int32_t pid) {
    if (pid <= 0 || core_->conn().broken()) return std::nullopt;
    Survey s = core_->managed(kWantPid);
    for (const WindowFacts& w : s.windows)
        if (w.pid && static_cast<std::int64_t>(*w.pid) == pid)
            return ProcessSerialNumber{0, static_cast<std::uint32_t>(pid)};
    return std::nullopt;
}

std::int32_t X11ProcessManager::setFrontProcessWithOptions(const ProcessSerialNumber& psn,
                                                           std::uint32_t options) {
    if (psn.highLongOfPSN != 0 || core_->conn().broken()) return kProcessNotFound;
    Survey s = core_->managed(kWantPid | kWantKind);
    std::vector<const WindowFacts*> mine;
    for (const WindowFacts& w : s.windows)
        if (w.pid && *w.pid == psn.lowLongOfPSN) mine.push_back(&w);
    auto front = Core::frontWindow(mine, core_->conn().atoms());
    if (!front) return kProcessNotFound;
    // A window just raised is its process's front window even if the stack does not show it yet.
    if (auto raised = core_->takeRaised(static_cast<std::int32_t>(psn.lowLongOfPSN))) {
        if (std::any_of(mine.begin(), mine.end(), [&](const WindowFacts* w) { return w->id == *raised; }))
            front = raised;
    }
    Writer& out = core_->writer();
    if (!(options & kSetFrontProcessFrontWindowOnly)) {
        // All of its windows come forward, keeping their order; the front one last so it ends on top.
        for (auto it = mine.rbegin(); it != mine.rend(); ++it)
            if ((*it)->id != *front) out.raise((*it)->id, *s.clients);
    }
    out.activate(*front, *s.clients);
    return 0;
}

std::vector<Rect> bottomLeftFrames(std::vector<MonitorRect> monitors) {
    if (monitors.empty()) return {};
    std::stable_partition(monitors.begin(), monitors.end(), [](const MonitorRect& m) { return m.primary; });
    const MonitorRect primary = monitors.front();
    std::vector<Rect> out;
    out.reserve(monitors.size());
    for (const MonitorRect& m : monitors)
        out.push_back(
            Rect{m.x - primary.x, (primary.y + primary.height) - (m.y + m.height), m.width, m.height});
    return out;
}

std::vector<Rect> X11Screens::screenFrames() {
    Connection& c = core_->conn();
    std::vector<MonitorRect> monitors;
    if (c.hasMonitors() && !c.broken()) {
        auto r = c.reply(xcb_randr_get_monitors_reply, c.sent(xcb_randr_get_monitors(c.xcb(), c.root(), 1)));
        if (r) {
            for (auto it = xcb_randr_get_monitors_monitors_iterator(r.get()); it.rem;
                 xcb_randr_monitor_info_next(&it))
                monitors.push_back({double(it.data->x), double(it.data->y), double(it.data->width),
                                    double(it.data->height), it.data->primary != 0});
        }
    }
    // Without RandR monitors, the whole screen is the one monitor.
    if (monitors.empty())
        monitors.push_back(
            {0, 0, double(c.screen().width_in_pixels), double(c.screen().height_in_pixels), true});
    return bottomLeftFrames(std::move(monitors));
}

ScriptResult X11ScriptHost::executeScript(std::string_view source) {
    ParsedScript parsed = parseScript(source);
    if (auto* e = std::get_if<ScriptError>(&parsed)) return ScriptResult{false, {}, e->message};
    Connection& c = core_->conn();
    if (c.broken()) return ScriptResult{false, {}, "the X display connection is broken"};

    if (std::holds_alternative<CloseKeystroke>(parsed)) {
        if (!c.hasXTest()) return ScriptResult{false, {}, "the X server lacks the XTEST extension"};
        auto control = keycodeFor(c, kKeysymControlL), w = keycodeFor(c, kKeysymW);
        if (!control || !w) return ScriptResult{false, {}, "the keyboard has no Control or W key"};
        core_->writer().keyChord(*control, *w);
        return ScriptResult{true, {}, {}};
    }

    const std::string& name = std::holds_alternative<QuitApplication>(parsed)
                                  ? std::get<QuitApplication>(parsed).name
                                  : std::get<ActivateApplication>(parsed).name;
    auto apps = core_->applications(kWantKind | kWantCloseInfo);
    std::vector<const WindowFacts*> theirs;  // front first, across every process of that name
    for (const WindowFacts& w : apps.survey.windows) {
        if (!w.pid) continue;
        const AppRecord* app = apps.find(static_cast<std::int32_t>(*w.pid));
        if (app && app->name == name) theirs.push_back(&w);
    }
    if (theirs.empty()) return ScriptResult{false, {}, "no running application is named \"" + name + "\""};
    const ClientList& clients = *apps.survey.clients;

    if (std::holds_alternative<ActivateApplication>(parsed)) {
        core_->writer().activate(*Core::frontWindow(theirs, c.atoms()), clients);
        return ScriptResult{true, {}, {}};
    }
    size_t refused = 0;
    for (const WindowFacts* w : theirs) {
        if (closable(*w, c.extra(), c.atoms()))
            core_->writer().close(w->id, clients);
        else
            ++refused;
    }
    if (refused)
        return ScriptResult{false,
                            {},
                            std::to_string(refused) + " window(s) of \"" + name +
                                "\" cannot be closed politely and were left open"};
    return ScriptResult{true, {}, {}};
}

}  // namespace tarvolin::x11
