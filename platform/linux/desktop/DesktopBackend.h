#pragma once

#include "platform/Accessibility.h"
#include "platform/Screens.h"
#include "platform/ScriptHost.h"
#include "platform/WindowService.h"
#include "platform/Workspace.h"

#include <functional>
#include <string>

namespace tarvolin {

// A desktop as one backend sees it (X11, sway): the services the agent needs from it, and
// the descriptor the run loop watches for its events.
class DesktopBackend {
public:
    virtual ~DesktopBackend() = default;

    virtual WindowService& windows() = 0;
    virtual Accessibility& accessibility() = 0;
    virtual Workspace& workspace() = 0;
    virtual ProcessManager& processes() = 0;
    virtual ScriptHost& scripts() = 0;
    virtual Screens& screens() = 0;

    // Lets the backend reuse one look at the desktop until `schedule`d work runs (the next
    // turn of the run loop), so a command's scans and its action share it.
    virtual void lapseSyncsWith(std::function<void(std::function<void()>)> /*schedule*/) {}
    // Where the backend's own diagnostics go.
    virtual void setLog(std::function<void(const std::string&)> /*log*/) {}

    virtual int fd() const = 0;
    // Takes what has arrived on fd(); false once the connection to the desktop is broken.
    virtual bool processEvents() = 0;
};

}  // namespace tarvolin
