#include "SwayDesktop.h"

#include "SwayServices.h"

#include <nlohmann/json.hpp>

namespace tarvolin {

std::unique_ptr<SwayDesktop> SwayDesktop::connect(const std::string& socketPath,
                                                  NotificationCenter& workspaceCenter, std::string& error,
                                                  BundleLookup bundleLookup) {
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
    std::unique_ptr<SwayDesktop> d(new SwayDesktop());
    d->core_ = std::make_shared<sway::Core>(std::move(events), std::move(commands));
    d->windows_ = std::make_unique<sway::SwayWindowService>(d->core_);
    d->accessibility_ = std::make_unique<sway::SwayAccessibility>(d->core_);
    d->workspace_ = std::make_unique<sway::SwayWorkspace>(d->core_, workspaceCenter, std::move(bundleLookup));
    d->processes_ = std::make_unique<sway::SwayProcessManager>(d->core_);
    d->screens_ = std::make_unique<sway::SwayScreens>(d->core_);
    d->scripts_ = std::make_unique<sway::SwayScriptHost>(d->core_);
    return d;
}

SwayDesktop::~SwayDesktop() = default;

WindowService& SwayDesktop::windows() { return *windows_; }
Accessibility& SwayDesktop::accessibility() { return *accessibility_; }
Workspace& SwayDesktop::workspace() { return *workspace_; }
ProcessManager& SwayDesktop::processes() { return *processes_; }
ScriptHost& SwayDesktop::scripts() { return *scripts_; }
Screens& SwayDesktop::screens() { return *screens_; }

int SwayDesktop::fd() const { return core_->fd(); }
bool SwayDesktop::processEvents() { return core_->processEvents(); }
std::uint64_t SwayDesktop::roundTrips() const { return core_->roundTrips(); }

}  // namespace tarvolin
