#pragma once

#include "X11Core.h"
#include "platform/Accessibility.h"
#include "platform/Screens.h"
#include "platform/ScriptHost.h"
#include "platform/WindowService.h"
#include "platform/Workspace.h"

#include <functional>
#include <memory>

namespace tarvolin::x11 {

class X11WindowService final : public WindowService {
public:
    explicit X11WindowService(std::shared_ptr<Core> core) : core_(std::move(core)) {}
    std::optional<std::vector<WindowDescription>> copyWindowInfo(std::uint32_t option,
                                                                 std::uint32_t relativeToWindow) override;

private:
    std::shared_ptr<Core> core_;
};

class X11Accessibility final : public Accessibility {
public:
    explicit X11Accessibility(std::shared_ptr<Core> core) : core_(std::move(core)) {}
    // Windows of other X clients need no permission.
    bool isProcessTrustedWithOptions(bool) override { return true; }
    AXElement createApplication(std::int32_t pid) override { return core_->applicationElement(pid); }

private:
    std::shared_ptr<Core> core_;
};

using BundleLookup = std::function<std::vector<RunningApplication>(std::string_view)>;

class X11Workspace final : public Workspace {
public:
    X11Workspace(std::shared_ptr<Core> core, NotificationCenter& center, BundleLookup lookup)
        : core_(std::move(core)), center_(center), lookup_(std::move(lookup)) {}
    std::vector<RunningApplication> runningApplications() override;
    std::vector<RunningApplication> runningApplicationsWithBundleIdentifier(std::string_view id) override;
    NotificationCenter& notificationCenter() override { return center_; }
    void setBundleLookup(BundleLookup lookup) { lookup_ = std::move(lookup); }

private:
    std::shared_ptr<Core> core_;
    NotificationCenter& center_;
    BundleLookup lookup_;
};

class X11ProcessManager final : public ProcessManager {
public:
    explicit X11ProcessManager(std::shared_ptr<Core> core) : core_(std::move(core)) {}
    std::optional<ProcessSerialNumber> getProcessForPID(std::int32_t pid) override;
    std::int32_t setFrontProcessWithOptions(const ProcessSerialNumber& psn, std::uint32_t options) override;

private:
    std::shared_ptr<Core> core_;
};

class X11Screens final : public Screens {
public:
    explicit X11Screens(std::shared_ptr<Core> core) : core_(std::move(core)) {}
    std::vector<Rect> screenFrames() override;

private:
    std::shared_ptr<Core> core_;
};

// Monitors in X's top-left convention to frames in the platform's: primary first,
// origin at the primary's bottom-left, y upwards. The first monitor stands in for
// a primary when none is marked.
struct MonitorRect {
    double x = 0, y = 0, width = 0, height = 0;
    bool primary = false;
};
std::vector<Rect> bottomLeftFrames(std::vector<MonitorRect> monitors);

class X11ScriptHost final : public ScriptHost {
public:
    explicit X11ScriptHost(std::shared_ptr<Core> core) : core_(std::move(core)) {}
    ScriptResult executeScript(std::string_view source) override;

private:
    std::shared_ptr<Core> core_;
};

}  // namespace tarvolin::x11
