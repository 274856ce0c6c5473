#pragma once

#include "SwayCore.h"
#include "platform/Accessibility.h"
#include "platform/Notifications.h"
#include "platform/Screens.h"
#include "platform/ScriptHost.h"
#include "platform/WindowService.h"
#include "platform/Workspace.h"

#include <functional>
#include <memory>

namespace tarvolin::sway {

class SwayWindowService final : public WindowService {
public:
    explicit SwayWindowService(std::shared_ptr<Core> core) : core_(std::move(core)) {}
    std::optional<std::vector<WindowDescription>> copyWindowInfo(std::uint32_t option,
                                                                 std::uint32_t relativeToWindow) override;

private:
    std::shared_ptr<Core> core_;
};

class SwayAccessibility final : public Accessibility {
public:
    explicit SwayAccessibility(std::shared_ptr<Core> core) : core_(std::move(core)) {}
    // sway's IPC needs no permission beyond reaching its socket.
    bool isProcessTrustedWithOptions(bool) override { return true; }
    AXElement createApplication(std::int32_t pid) override { return core_->applicationElement(pid); }

private:
    std::shared_ptr<Core> core_;
};

using BundleLookup = std::function<std::vector<RunningApplication>(std::string_view)>;

class SwayWorkspace final : public Workspace {
public:
    SwayWorkspace(std::shared_ptr<Core> core, NotificationCenter& center, BundleLookup lookup)
        : core_(std::move(core)), center_(center), lookup_(std::move(lookup)) {}
    std::vector<RunningApplication> runningApplications() override;
    std::vector<RunningApplication> runningApplicationsWithBundleIdentifier(std::string_view id) override {
        return lookup_ ? lookup_(id) : std::vector<RunningApplication>{};
    }
    NotificationCenter& notificationCenter() override { return center_; }

private:
    std::shared_ptr<Core> core_;
    NotificationCenter& center_;
    BundleLookup lookup_;
};

class SwayProcessManager final : public ProcessManager {
public:
    explicit SwayProcessManager(std::shared_ptr<Core> core) : core_(std::move(core)) {}
    std::optional<ProcessSerialNumber> getProcessForPID(std::int32_t pid) override;
    std::int32_t setFrontProcessWithOptions(const ProcessSerialNumber& psn, std::uint32_t options) override;

private:
    std::shared_ptr<Core> core_;
};

class SwayScreens final : public Screens {
public:
    explicit SwayScreens(std::shared_ptr<Core> core) : core_(std::move(core)) {}
    std::vector<Rect> screenFrames() override { return sway::screenFrames(core_->current().outputs); }

private:
    std::shared_ptr<Core> core_;
};

class SwayScriptHost final : public ScriptHost {
public:
    explicit SwayScriptHost(std::shared_ptr<Core> core) : core_(std::move(core)) {}
    ScriptResult executeScript(std::string_view source) override;

private:
    std::shared_ptr<Core> core_;
};

}  // namespace tarvolin::sway
