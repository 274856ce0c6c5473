#include "X11Desktop.h"

#include "X11Services.h"

namespace tarvolin {

std::unique_ptr<X11Desktop> X11Desktop::connect(const char* display, NotificationCenter& workspaceCenter,
                                                std::string& error, BundleLookup bundleLookup) {
    auto conn = x11::Connection::open(display, error);
    if (!conn) return nullptr;
    std::unique_ptr<X11Desktop> d(new X11Desktop());
    d->core_ = std::make_shared<x11::Core>(std::move(conn));
    d->windows_ = std::make_unique<x11::X11WindowService>(d->core_);
    d->accessibility_ = std::make_unique<x11::X11Accessibility>(d->core_);
    d->workspace_ = std::make_unique<x11::X11Workspace>(d->core_, workspaceCenter, std::move(bundleLookup));
    d->processes_ = std::make_unique<x11::X11ProcessManager>(d->core_);
    d->screens_ = std::make_unique<x11::X11Screens>(d->core_);
    d->scripts_ = std::make_unique<x11::X11ScriptHost>(d->core_);
    return d;
}

X11Desktop::~X11Desktop() = default;

WindowService& X11Desktop::windows() { return *windows_; }
Accessibility& X11Desktop::accessibility() { return *accessibility_; }
Workspace& X11Desktop::workspace() { return *workspace_; }
ProcessManager& X11Desktop::processes() { return *processes_; }
ScriptHost& X11Desktop::scripts() { return *scripts_; }
Screens& X11Desktop::screens() { return *screens_; }

void X11Desktop::setBundleLookup(BundleLookup lookup) { workspace_->setBundleLookup(std::move(lookup)); }

int X11Desktop::fd() const { return core_->conn().fd(); }
bool X11Desktop::processEvents() { return core_->conn().processEvents(); }

void X11Desktop::lapseSyncsWith(std::function<void(std::function<void()>)> schedule) {
    core_->lapseSyncsWith(std::move(schedule));
}
void X11Desktop::setLog(std::function<void(const std::string&)> log) { core_->setLog(std::move(log)); }

std::uint64_t X11Desktop::requests() const { return core_->conn().requests(); }
std::uint64_t X11Desktop::roundTrips() const { return core_->conn().roundTrips(); }
std::uint64_t X11Desktop::unexpectedErrors() const { return core_->conn().unexpectedErrors(); }
std::string X11Desktop::lastUnexpectedError() const { return core_->conn().lastUnexpectedError(); }

}  // namespace tarvolin
