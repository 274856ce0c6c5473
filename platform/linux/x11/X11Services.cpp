#include "X11Services.h"

#include "platform/ScriptParser.h"

#include <algorithm>
#include <cstdio>

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
    core_->fresh();
    const std::vector<const WindowFacts*> windows = core_->mirror().frontFirst();
    const Core::Origin origin = core_->primaryOrigin();
    std::vector<WindowDescription> out;
    out.reserve(windows.size());
    for (const WindowFacts* wp : windows) {
        const WindowFacts& w = *wp;
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
            d.bounds = WindowBounds{std::int64_t{w.frame->x} - origin.x, std::int64_t{w.frame->y} - origin.y,
                                    std::int64_t{w.frame->width}, std::int64_t{w.frame->height}};
        out.push_back(std::move(d));
    }
    if (c.broken()) return std::nullopt;
    return out;
}

std::vector<RunningApplication> X11Workspace::runningApplications() {
    if (core_->conn().broken()) return {};
    core_->fresh();
    const std::vector<AppRecord>& apps = core_->applications();
    std::vector<Image> icons = core_->icons(apps);
    std::vector<RunningApplication> out;
    out.reserve(apps.size());
    for (size_t i = 0; i < apps.size(); ++i)
        out.push_back(RunningApplication{apps[i].pid, apps[i].name, icons[i], {}});
    return out;
}

std::vector<RunningApplication> X11Workspace::runningApplicationsWithBundleIdentifier(std::string_view id) {
    return lookup_ ? lookup_(id) : std::vector<RunningApplication>{};
}

std::optional<ProcessSerialNumber> X11ProcessManager::getProcessForPID(std::int32_t pid) {
    if (pid <= 0 || core_->conn().broken()) return std::nullopt;
    core_->fresh();
    if (!core_->application(pid)) return std::nullopt;
    return ProcessSerialNumber{0, static_cast<std::uint32_t>(pid)};
}

std::int32_t X11ProcessManager::setFrontProcessWithOptions(const ProcessSerialNumber& psn,
                                                           std::uint32_t options) {
    if (psn.highLongOfPSN != 0 || psn.lowLongOfPSN > INT32_MAX || core_->conn().broken())
        return kProcessNotFound;
    const auto pid = static_cast<std::int32_t>(psn.lowLongOfPSN);
    core_->fresh();
    const AppRecord* app = core_->application(pid);
    if (!app) return kProcessNotFound;
    const Mirror& m = core_->mirror();
    xcb_window_t front = app->front;
    // A window just raised is its process's front window even if the stack does not show it yet,
    // and its activation is already on its way.
    const auto raised = core_->takeRaised(pid);
    if (raised && std::count(app->frontFirst.begin(), app->frontFirst.end(), raised->window)) {
        if (raised->thisTurn && (options & kSetFrontProcessFrontWindowOnly)) return 0;
        front = raised->window;
    }
    Writer& out = core_->writer();
    if (!(options & kSetFrontProcessFrontWindowOnly)) {
        // All of its windows come forward, keeping their order; the front one last so it ends on top.
        for (auto it = app->frontFirst.rbegin(); it != app->frontFirst.rend(); ++it)
            if (*it != front) out.raise(*it, m.clients());
    }
    out.activate(*m.find(front), m.clients());
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
    if (!c.broken()) {
        core_->fresh();
        for (const Monitor& m : core_->mirror().monitors())
            monitors.push_back({double(m.x), double(m.y), double(m.width), double(m.height), m.primary});
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
        // The keystroke closes the window just raised; anywhere else it would close an unrelated one.
        core_->fresh();
        const xcb_window_t active = core_->mirror().clients().active;
        if (core_->lastRaised() != active) {
            char line[128];
            std::snprintf(
                line, sizeof line,
                "tarvolin: close keystroke not sent: the raised window 0x%08x is not the active one",
                core_->lastRaised().value_or(XCB_NONE));
            core_->log(line);
            return ScriptResult{false, {}, line};
        }
        auto control = keycodeFor(c, kKeysymControlL), w = keycodeFor(c, kKeysymW);
        if (!control || !w) return ScriptResult{false, {}, "the keyboard has no Control or W key"};
        core_->writer().keyChord(*control, *w);
        return ScriptResult{true, {}, {}};
    }

    const std::string& name = std::holds_alternative<QuitApplication>(parsed)
                                  ? std::get<QuitApplication>(parsed).name
                                  : std::get<ActivateApplication>(parsed).name;
    core_->fresh();
    const Mirror& m = core_->mirror();
    std::vector<const WindowFacts*> theirs;  // front first, across every process of that name
    for (const WindowFacts* w : m.frontFirst()) {
        if (!w->pid || *w->pid > INT32_MAX) continue;
        const AppRecord* app = core_->application(static_cast<std::int32_t>(*w->pid));
        if (app && app->name == name) theirs.push_back(w);
    }
    if (theirs.empty()) return ScriptResult{false, {}, "no running application is named \"" + name + "\""};
    const ClientList& clients = m.clients();

    if (std::holds_alternative<ActivateApplication>(parsed)) {
        core_->writer().activate(*m.find(*Core::frontWindow(theirs, c.atoms())), clients);
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
