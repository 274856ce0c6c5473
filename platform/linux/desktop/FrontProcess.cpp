#include "DesktopServices.h"

#include <algorithm>

namespace tarvolin::desktop {

namespace {

constexpr std::int32_t kProcessNotFound = -600;

}  // namespace

std::optional<ProcessSerialNumber> FrontProcess::getProcessForPID(std::int32_t pid) {
    if (pid <= 0 || model_->broken()) return std::nullopt;
    model_->look();
    if (!model_->application(pid)) return std::nullopt;
    return ProcessSerialNumber{0, static_cast<std::uint32_t>(pid)};
}

std::int32_t FrontProcess::setFrontProcessWithOptions(const ProcessSerialNumber& psn, std::uint32_t options) {
    if (psn.highLongOfPSN != 0 || psn.lowLongOfPSN > INT32_MAX || model_->broken()) return kProcessNotFound;
    const auto pid = static_cast<std::int32_t>(psn.lowLongOfPSN);
    const Snapshot& s = model_->look();
    const AppRecord* app = model_->application(pid);
    if (!app) return kProcessNotFound;
    std::int64_t front = app->front;
    // A window just raised is its process's front window even if the stack does not show it yet,
    // and its activation is already on its way.
    const auto raised = model_->takeRaised(pid);
    if (raised && std::count(app->frontFirst.begin(), app->frontFirst.end(), raised->window)) {
        if (raised->turn == model_->turn() && (options & kSetFrontProcessFrontWindowOnly)) return 0;
        front = raised->window;
    }
    if (!(options & kSetFrontProcessFrontWindowOnly)) {
        // All of its windows come forward, keeping their order; the front one is focused last.
        std::vector<const Window*> backToFront;
        for (auto it = app->frontFirst.rbegin(); it != app->frontFirst.rend(); ++it)
            if (const Window* w = s.find(*it); w && *it != front) backToFront.push_back(w);
        if (!backToFront.empty()) model_->transport().raise(backToFront);
    }
    const Window* w = s.find(front);
    return w && model_->transport().focus(*w) ? 0 : kProcessNotFound;
}

}  // namespace tarvolin::desktop
