#pragma once

#include "DesktopServices.h"

#include <functional>
#include <memory>
#include <string>

namespace tarvolin {

// A desktop as the agent works on it: the services over the model a transport keeps current,
// and the descriptor the run loop watches for the transport's events.
class DesktopBackend {
public:
    DesktopBackend(std::unique_ptr<desktop::Transport> transport, NotificationCenter& workspaceCenter,
                   desktop::BundleLookup lookup)
        : model_(std::make_shared<desktop::DesktopModel>(std::move(transport))),
          windows_(model_),
          accessibility_(model_),
          workspace_(model_, workspaceCenter, std::move(lookup)),
          processes_(model_),
          scripts_(model_),
          screens_(model_) {}
    virtual ~DesktopBackend() = default;
    DesktopBackend(const DesktopBackend&) = delete;
    DesktopBackend& operator=(const DesktopBackend&) = delete;

    WindowService& windows() { return windows_; }
    Accessibility& accessibility() { return accessibility_; }
    Workspace& workspace() { return workspace_; }
    ProcessManager& processes() { return processes_; }
    ScriptHost& scripts() { return scripts_; }
    Screens& screens() { return screens_; }

    // A question sees the desktop as of a look that stays good until the task handed to
    // `schedule` runs (a run loop's dispatchAsync: one look per command). Unset: one per question.
    void endTurnsWith(std::function<void(std::function<void()>)> schedule) {
        model_->endTurnsWith(std::move(schedule));
    }
    void setWidgetSource(std::shared_ptr<desktop::WidgetSource> source) {
        model_->setWidgetSource(std::move(source));
    }
    // Where the backend's own diagnostics go.
    void setLog(std::function<void(const std::string&)> log) { model_->setLog(std::move(log)); }

    std::string name() const { return model_->transport().name(); }
    std::uint64_t roundTrips() const { return model_->transport().roundTrips(); }
    int fd() const { return model_->transport().fd(); }
    // Takes what has arrived on fd(); false once the connection to the desktop is broken.
    bool processEvents() { return model_->transport().processEvents(); }

protected:
    std::shared_ptr<desktop::DesktopModel> model_;

private:
    desktop::WindowList windows_;
    desktop::DesktopAccessibility accessibility_;
    desktop::RunningApplications workspace_;
    desktop::FrontProcess processes_;
    desktop::DesktopScripts scripts_;
    desktop::DesktopScreens screens_;
};

}  // namespace tarvolin
