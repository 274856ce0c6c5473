#pragma once

// The platform's desktop services, written once over the desktop model; one per file.
#include "DesktopModel.h"
#include "platform/Accessibility.h"
#include "platform/Notifications.h"
#include "platform/Screens.h"
#include "platform/ScriptHost.h"
#include "platform/WindowService.h"
#include "platform/Workspace.h"

#include <functional>
#include <memory>

namespace tarvolin::desktop {

// Serves the model to a service; the elements keep it alive on their own.
class Service {
public:
    explicit Service(std::shared_ptr<DesktopModel> model) : model_(std::move(model)) {}

protected:
    std::shared_ptr<DesktopModel> model_;
};

class WindowList final : public WindowService, Service {
public:
    using Service::Service;
    std::optional<std::vector<WindowDescription>> copyWindowInfo(std::uint32_t option,
                                                                 std::uint32_t relativeToWindow) override;
};

class DesktopAccessibility final : public Accessibility, Service {
public:
    using Service::Service;
    // The desktop's own window list needs no permission beyond reaching it.
    bool isProcessTrustedWithOptions(bool) override { return true; }
    AXElement createApplication(std::int32_t pid) override { return model_->applicationElement(pid); }
};

// Answers runningApplicationsWithBundleIdentifier (the agent's own single-instance rule).
using BundleLookup = std::function<std::vector<RunningApplication>(std::string_view)>;

class RunningApplications final : public Workspace, Service {
public:
    RunningApplications(std::shared_ptr<DesktopModel> model, NotificationCenter& center, BundleLookup lookup)
        : Service(std::move(model)), center_(center), lookup_(std::move(lookup)) {}
    std::vector<RunningApplication> runningApplications() override;
    std::vector<RunningApplication> runningApplicationsWithBundleIdentifier(std::string_view id) override {
        return lookup_ ? lookup_(id) : std::vector<RunningApplication>{};
    }
    NotificationCenter& notificationCenter() override { return center_; }

private:
    NotificationCenter& center_;
    BundleLookup lookup_;
};

class FrontProcess final : public ProcessManager, Service {
public:
    using Service::Service;
    std::optional<ProcessSerialNumber> getProcessForPID(std::int32_t pid) override;
    std::int32_t setFrontProcessWithOptions(const ProcessSerialNumber& psn, std::uint32_t options) override;
};

class DesktopScreens final : public Screens, Service {
public:
    using Service::Service;
    std::vector<Rect> screenFrames() override;
};

// Monitors in the desktop's top-left convention to frames in the platform's: primary first,
// origin at the primary's bottom-left, y upwards.
std::vector<Rect> bottomLeftFrames(const std::vector<Monitor>& monitors);

// The scripts the agent sends: quit or activate an application by name, the close keystroke.
class DesktopScripts final : public ScriptHost, Service {
public:
    using Service::Service;
    ScriptResult executeScript(std::string_view source) override;
};

}  // namespace tarvolin::desktop
