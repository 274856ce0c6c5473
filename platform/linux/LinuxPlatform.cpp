#include "LinuxPlatform.h"

#include "PrivateDir.h"

#include <sys/epoll.h>

#ifdef TARVOLIN_HAVE_X11
#include "x11/X11Desktop.h"
#endif

namespace tarvolin {

LinuxPlatform::LinuxPlatform() = default;

LinuxPlatform::~LinuxPlatform() = default;

std::unique_ptr<LinuxPlatform> LinuxPlatform::open(std::string& error, [[maybe_unused]] const char* display,
                                                   [[maybe_unused]] Role role) {
#ifndef TARVOLIN_HAVE_X11
    error = "this build has no X11 support";
    return nullptr;
#else
    std::unique_ptr<LinuxPlatform> p(new LinuxPlatform());
    try {
        const auto runtimeDir = runtimeDirectory();
        p->pasteboards_ = FilePasteboardService::open(runtimeDir, error);
        if (!p->pasteboards_) return nullptr;
        p->defaults_ = PlistUserDefaultsService::open(configDirectory(), p->defaultCenter_, p->log_, error);
        if (!p->defaults_) return nullptr;
        const bool agent = role == Role::agent;
        if (agent) {
            p->defaults_->watchChanges(p->loop_);
            p->instanceLock_ = AgentInstanceLock::acquire(runtimeDir, error);
            if (!p->instanceLock_) return nullptr;
            p->sleepWatcher_ = std::make_unique<SleepWatcher>(p->loop_, p->workspaceCenter_, p->log_);
        }
        p->notifications_ = std::make_unique<SessionBusNotifications>(p->loop_, p->log_);

        AgentInstanceLock* lock = p->instanceLock_.get();
        p->desktop_ = X11Desktop::connect(display, p->workspaceCenter_, error, [lock](std::string_view id) {
            return lock ? lock->runningCopies(id, LinuxApplication::kBundleIdentifier)
                        : std::vector<RunningApplication>{};
        });
        if (!p->desktop_) return nullptr;
        LinuxPlatform* self = p.get();
        p->desktop_->lapseSyncsWith(
            [self](std::function<void()> lapse) { self->loop_.dispatchAsync(std::move(lapse)); });
        p->desktop_->setLog([self](const std::string& line) { self->log_.log(line); });
        p->displaySource_ = p->loop_.addFdSource(p->desktop_->fd(), EPOLLIN, [self](std::uint32_t) {
            if (self->desktop_->processEvents()) return;
            // Without its display the agent has nothing left to act on.
            self->log_.log("tarvolin: lost the connection to the X display; exiting");
            self->displaySource_.disable();
            self->loop_.exit(1);
        });
    } catch (const std::exception& e) {
        error = e.what();
        return nullptr;
    }

    p->platform_ = std::unique_ptr<Platform>(new Platform{
        p->application_,
        p->loop_,
        p->desktop_->workspace(),
        p->desktop_->windows(),
        p->desktop_->accessibility(),
        p->desktop_->processes(),
        *p->pasteboards_,
        *p->defaults_,
        p->defaultCenter_,
        *p->notifications_,
        *p->notifications_,
        p->desktop_->scripts(),
        p->desktop_->screens(),
        p->log_,
        p->unarchiver_,
        p->graphics_,
    });
    return p;
#endif
}

void LinuxPlatform::onPasteboardChanged(std::function<void()> callback) {
    pasteboardChanged_ = std::move(callback);
    if (!pasteboardWatch_) {
        pasteboardWatch_ = pasteboards_->watchChanges(loop_, [this] {
            if (pasteboardChanged_) pasteboardChanged_();
        });
    }
}

int LinuxPlatform::run(ApplicationDelegate& delegate) { return application_.run(delegate); }

}  // namespace tarvolin
