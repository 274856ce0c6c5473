#include "LinuxPlatform.h"

#include "atspi/AtspiWidgets.h"
#include "session/PrivateDir.h"

#include <sys/epoll.h>

#include <cstdlib>

#ifdef TARVOLIN_HAVE_X11
#include "x11/X11Desktop.h"
#endif
#ifdef TARVOLIN_HAVE_SWAY
#include "sway/SwayDesktop.h"
#endif
#ifdef TARVOLIN_HAVE_KDE
#include "kde/KWinDesktop.h"
#endif
#ifdef TARVOLIN_HAVE_GNOME
#include "gnome/GnomeDesktop.h"
#endif

namespace tarvolin {

LinuxPlatform::LinuxPlatform() = default;

LinuxPlatform::~LinuxPlatform() = default;

namespace {

const char* variable(const char* name) {
    const char* v = std::getenv(name);
    return v && *v ? v : nullptr;
}

using BundleLookup = std::function<std::vector<RunningApplication>(std::string_view)>;

using Role = LinuxPlatform::Role;

// A desktop the agent works on: how messages name it, the session variable that leads to
// it, and how it is reached. A connect that fails with no error found another desktop there.
struct DesktopKind {
    const char* name;
    const char* variable;
    const char* foundThrough;
    bool wayland;
    // The variable leads to this desktop alone: one that fails is likely left from an ended
    // session. Otherwise the desktop was found and its error says all.
    bool ownVariable;
    std::unique_ptr<DesktopBackend> (*connect)(const char* value, NotificationCenter& workspaceCenter,
                                               BundleLookup lookup, Role role, std::string& error);
};

template <class Desktop>
std::unique_ptr<DesktopBackend> connectTo(const char* value, NotificationCenter& workspaceCenter,
                                          BundleLookup lookup, Role, std::string& error) {
    return Desktop::connect(value, workspaceCenter, error, std::move(lookup));
}

#ifdef TARVOLIN_HAVE_KDE
std::unique_ptr<DesktopBackend> connectKWin(const char*, NotificationCenter& workspaceCenter,
                                            BundleLookup lookup, Role role, std::string& error) {
    return KWinDesktop::connect(role == Role::agent ? KWinDesktop::Role::agent : KWinDesktop::Role::observer,
                                workspaceCenter, error, std::move(lookup));
}
#endif

#ifdef TARVOLIN_HAVE_GNOME
std::unique_ptr<DesktopBackend> connectGnome(const char*, NotificationCenter& workspaceCenter,
                                             BundleLookup lookup, Role, std::string& error) {
    return GnomeDesktop::connect(workspaceCenter, error, std::move(lookup));
}
#endif

// Wayland desktops first: their sessions set $DISPLAY too, for an Xwayland on which only X
// clients are seen.
const std::vector<DesktopKind>& desktopKinds() {
    static const std::vector<DesktopKind> kinds = {
#ifdef TARVOLIN_HAVE_SWAY
        {"sway", "SWAYSOCK", "$SWAYSOCK", true, true, &connectTo<SwayDesktop>},
#endif
#ifdef TARVOLIN_HAVE_KDE
        {"KDE Plasma", "WAYLAND_DISPLAY", "KWin on the session bus with $WAYLAND_DISPLAY", true, false,
         &connectKWin},
#endif
#ifdef TARVOLIN_HAVE_GNOME
        {"GNOME", "WAYLAND_DISPLAY", "GNOME Shell on the session bus with $WAYLAND_DISPLAY", true, false,
         &connectGnome},
#endif
#ifdef TARVOLIN_HAVE_X11
        {"X11 with an EWMH window manager", "DISPLAY", "$DISPLAY", false, true, &connectTo<X11Desktop>},
#endif
    };
    return kinds;
}

std::string supportedDesktops() {
    std::string text = "supported desktops: ";
    const auto& kinds = desktopKinds();
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        if (i > 0) text += i + 1 == kinds.size() ? " and " : ", ";
        text += std::string(kinds[i].name) + " (found through " + kinds[i].foundThrough + ")";
    }
    return kinds.empty() ? "this build supports no desktop" : text;
}

// The desktop the session's variables name. Never a Wayland session's Xwayland: the agent
// would list only its X clients there, so an unreachable or unsupported compositor ends it.
std::unique_ptr<DesktopBackend> connectDesktop(const char* display, NotificationCenter& workspaceCenter,
                                               AgentInstanceLock* lock, Role role, std::string& error) {
    BundleLookup lookup = [lock](std::string_view id) {
        return lock ? lock->runningCopies(id, LinuxApplication::kBundleIdentifier)
                    : std::vector<RunningApplication>{};
    };
    // A copy that ends itself for the one running leaves that one's script in KWin alone.
    if (role == Role::agent && lock && !lock->heldByUs()) role = Role::observer;
    const char* wayland = variable("WAYLAND_DISPLAY");
    for (const DesktopKind& kind : desktopKinds()) {
        // An explicit display is a choice of X11.
        if (display && kind.wayland) continue;
        if (!display && !kind.wayland && wayland) break;
        const char* value = display && !kind.wayland ? display : variable(kind.variable);
        if (!value) continue;
        if (auto d = kind.connect(value, workspaceCenter, lookup, role, error)) return d;
        if (error.empty()) continue;
        if (!kind.ownVariable) return nullptr;
        if (kind.wayland) error += " ($" + std::string(kind.variable) + ")";
        error += "; " + supportedDesktops();
        if (kind.wayland) {
            if (variable("DISPLAY"))
                error +=
                    "; not falling back to $DISPLAY: in a Wayland session that is Xwayland, which "
                    "shows only X clients";
            error += "; if the session has ended, drop its variables: systemctl --user unset-environment " +
                     std::string(kind.variable) + " WAYLAND_DISPLAY";
        }
        return nullptr;
    }
    if (wayland && !display)
        error = "the Wayland desktop at $WAYLAND_DISPLAY (" + std::string(wayland) +
                ") is not one the agent supports, and its Xwayland would show only X clients; " +
                supportedDesktops() +
                "; in a sway session, import its socket: systemctl --user import-environment SWAYSOCK "
                "WAYLAND_DISPLAY; in a Plasma or GNOME session: systemctl --user import-environment "
                "WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS";
    else
        error =
            "no desktop to work on, neither $WAYLAND_DISPLAY nor the variable of a supported desktop is "
            "set; " +
            supportedDesktops();
    return nullptr;
}

}  // namespace

std::unique_ptr<LinuxPlatform> LinuxPlatform::open(std::string& error, const char* display, Role role) {
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

        p->desktop_ = connectDesktop(display, p->workspaceCenter_, p->instanceLock_.get(), role, error);
        if (!p->desktop_) return nullptr;
        LinuxPlatform* self = p.get();
        p->desktop_->endTurnsWith(
            [self](std::function<void()> lapse) { self->loop_.dispatchAsync(std::move(lapse)); });
        p->desktop_->setLog([self](const std::string& line) { self->log_.log(line); });
        // Widgets come from the accessibility bus where the session has one, on every desktop.
        const atspi::Schedule soon = [self](std::function<void()> task) {
            self->loop_.dispatchAsync(std::move(task));
        };
        p->desktop_->setWidgetSource(atspi::connect(
            p->desktop_->name() == "X11" ? atspi::Positions::screen : atspi::Positions::inWindow,
            [self, soon](int fd) {
                self->widgetSource_ = self->loop_.addFdSource(
                    fd, EPOLLIN, [soon](std::uint32_t) { atspi::processEvents(soon); });
            },
            soon));
        p->displaySource_ = p->loop_.addFdSource(p->desktop_->fd(), EPOLLIN, [self](std::uint32_t) {
            if (self->desktop_->processEvents()) return;
            // Without its display the agent has nothing left to act on.
            self->log_.log("tarvolin: lost the connection to the desktop; exiting");
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
}

void LinuxPlatform::onPasteboardChanged(std::function<void()> callback) {
    pasteboardChanged_ = std::move(callback);
    if (!pasteboardWatch_) {
        pasteboardWatch_ = pasteboards_->watchChanges(loop_, [this] {
            if (pasteboardChanged_) pasteboardChanged_();
        });
    }
}

LinuxPlatform::RowChooser LinuxPlatform::desktopChooser() {
#ifdef TARVOLIN_HAVE_GNOME
    if (variable("WAYLAND_DISPLAY") && !variable("SWAYSOCK") && GnomeDesktop::running())
        return &GnomeDesktop::choose;
#endif
    return {};
}

int LinuxPlatform::run(ApplicationDelegate& delegate) { return application_.run(delegate); }

}  // namespace tarvolin
