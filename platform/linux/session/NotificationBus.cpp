#include "NotificationBus.h"

#include "platform/Value.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>

#include <stdexcept>
#include <system_error>

namespace tarvolin {

namespace {
std::string errorText(int r) { return std::system_category().message(-r); }
}  // namespace

void SdBusUnref::operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
void SdBusSlotUnref::operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
std::string SdBusError::text(int r) const { return e.message ? e.message : errorText(r < 0 ? r : -r); }

std::optional<std::string> busNameOwner(sd_bus* bus, const char* name) {
    SdBusError e;
    sd_bus_message* raw = nullptr;
    if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                           "GetNameOwner", &e.e, &raw, "s", name) < 0)
        return std::nullopt;
    SdBusMessagePtr reply(raw);
    const char* unique = nullptr;
    if (sd_bus_message_read(raw, "s", &unique) < 0 || !unique) return std::nullopt;
    return unique;
}

int watchNameLoss(sd_bus* bus, const char* name, bool* lost, SdBusSlotPtr& slot) {
    // Only this name's changes: the bus would send every other change of owner too.
    const std::string match =
        "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
        "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='" +
        std::string(name) + "'";
    auto onChange = [](sd_bus_message* m, void* flag, sd_bus_error*) {
        const char *owned = nullptr, *from = nullptr, *to = nullptr;
        if (sd_bus_message_read(m, "sss", &owned, &from, &to) >= 0 && to && !*to)
            *static_cast<bool*>(flag) = true;
        return 0;
    };
    sd_bus_slot* raw = nullptr;
    const int r = sd_bus_add_match(bus, &raw, match.c_str(), onChange, lost);
    if (r >= 0) slot.reset(raw);
    return r;
}

SdBusPtr openBus(BusKind kind, LinuxRunLoop& loop, std::string& error) {
    sd_bus* raw = nullptr;
    int r = kind == BusKind::session ? sd_bus_open_user(&raw) : sd_bus_open_system(&raw);
    if (r < 0) {
        error = std::string("connection to the ") + (kind == BusKind::session ? "session" : "system") +
                " bus (" + errorText(r) + ")";
        return nullptr;
    }
    SdBusPtr bus(raw);
    r = sd_bus_attach_event(bus.get(), loop.event(), 0);
    if (r < 0) {
        error = "cannot attach the bus to the event loop: " + errorText(r);
        return nullptr;
    }
    return bus;
}

SessionBusNotifications::SessionBusNotifications(LinuxRunLoop& loop, SystemLog& log) : log_(log) {
    std::string error;
    bus_ = openBus(BusKind::session, loop, error);
    if (!bus_) log_.log("tarvolin: no " + error + "; notifications to other programs are dropped");
}

SessionBusNotifications::~SessionBusNotifications() {
    // Posts still queued go out before the connection closes.
    if (bus_) sd_bus_flush(bus_.get());
}

void SessionBusNotifications::postNotificationName(std::string_view name) {
    emit(bus::kDistributedInterface, name, false);
}

void SessionBusNotifications::postNotification(std::string_view name, bool deliverImmediately) {
    emit(bus::kDarwinInterface, name, deliverImmediately);
}

void SessionBusNotifications::emit(const char* interface, std::string_view name, bool flush) {
    if (!bus_) return;
    const std::string text(name);
    int r = text.find('\0') != std::string::npos ? -EINVAL
                                                 : sd_bus_emit_signal(bus_.get(), bus::kObjectPath, interface,
                                                                      bus::kSignal, "s", text.c_str());
    if (r >= 0 && flush) r = sd_bus_flush(bus_.get());
    if (r < 0 && (!reportedFailure_ || r == -EINVAL)) {
        // A broken bus would fail every post; say so once.
        if (r != -EINVAL) reportedFailure_ = true;
        log_.log("tarvolin: notification " + std::string(interface) + " " + quotedText(name) +
                 " not sent: " + errorText(r));
    }
}

NotificationListener::NotificationListener(LinuxRunLoop& loop, Callback callback)
    : callback_(std::move(callback)) {
    std::string error;
    bus_ = openBus(BusKind::session, loop, error);
    if (!bus_) throw std::runtime_error(error);
    sd_bus_slot* slot = nullptr;
    int r = sd_bus_match_signal(bus_.get(), &slot, nullptr, bus::kObjectPath, nullptr, bus::kSignal,
                                &NotificationListener::onSignal, this);
    if (r < 0) throw std::runtime_error("cannot subscribe to notifications: " + errorText(r));
    slot_.reset(slot);
}

int NotificationListener::onSignal(sd_bus_message* message, void* self, sd_bus_error*) {
    auto* listener = static_cast<NotificationListener*>(self);
    const char* name = nullptr;
    if (sd_bus_message_read(message, "s", &name) < 0 || name == nullptr) return 0;
    const char* interface = sd_bus_message_get_interface(message);
    Kind kind;
    if (interface && std::string_view(interface) == bus::kDistributedInterface) {
        kind = Kind::distributed;
    } else if (interface && std::string_view(interface) == bus::kDarwinInterface) {
        kind = Kind::darwin;
    } else {
        return 0;
    }
    std::string text(name);
    runGuarded("notification listener", [&] { listener->callback_(kind, text); });
    return 0;
}

SleepWatcher::SleepWatcher(LinuxRunLoop& loop, NotificationCenter& workspaceCenter, SystemLog& log)
    : center_(workspaceCenter), log_(log) {
    std::string error;
    bus_ = openBus(BusKind::system, loop, error);
    if (!bus_) {
        log_.log("tarvolin: no " + error + "; the agent will not see the machine go to sleep");
        return;
    }
    sd_bus_slot* slot = nullptr;
    int r = sd_bus_match_signal(bus_.get(), &slot, "org.freedesktop.login1", "/org/freedesktop/login1",
                                "org.freedesktop.login1.Manager", "PrepareForSleep",
                                &SleepWatcher::onPrepareForSleep, this);
    if (r < 0) {
        log_.log("tarvolin: cannot watch for sleep: " + errorText(r));
        return;
    }
    slot_.reset(slot);
    requestDelayLock();
}

void SleepWatcher::requestDelayLock() {
    if (inhibitor_ || inhibitCall_) return;
    sd_bus_slot* call = nullptr;
    // Asynchronous: a slow or missing logind must not hold up the launch.
    int r = sd_bus_call_method_async(bus_.get(), &call, "org.freedesktop.login1", "/org/freedesktop/login1",
                                     "org.freedesktop.login1.Manager", "Inhibit",
                                     &SleepWatcher::onInhibitReply, this, "ssss", "sleep", "tarvolin-agent",
                                     "Ends itself before the machine sleeps", "delay");
    if (r >= 0) inhibitCall_.reset(call);
}

int SleepWatcher::onInhibitReply(sd_bus_message* message, void* self, sd_bus_error*) {
    auto* watcher = static_cast<SleepWatcher*>(self);
    watcher->inhibitCall_.reset();
    int fd = -1;
    if (const sd_bus_error* error = sd_bus_message_get_error(message)) {
        if (!watcher->reportedInhibitFailure_) {
            watcher->reportedInhibitFailure_ = true;
            watcher->log_.log(std::string("tarvolin: no sleep delay from logind (") +
                              (error->message ? error->message
                               : error->name  ? error->name
                                              : "unknown error") +
                              "); the machine may sleep before the agent has ended");
        }
        return 0;
    }
    if (sd_bus_message_read(message, "h", &fd) >= 0 && fd >= 0) {
        // The message owns its descriptor; keep our own copy.
        watcher->inhibitor_.reset(::fcntl(fd, F_DUPFD_CLOEXEC, 3));
    }
    return 0;
}

int SleepWatcher::onPrepareForSleep(sd_bus_message* message, void* self, sd_bus_error*) {
    auto* watcher = static_cast<SleepWatcher*>(self);
    int start = 0;
    if (sd_bus_message_read(message, "b", &start) < 0) return 0;
    if (!start) {
        // Awake again (the agent did not end): be ready for the next time.
        watcher->requestDelayLock();
        return 0;
    }
    runGuarded("sleep notification", [&] {
        watcher->center_.postNotification(Notification{NSWorkspaceWillSleepNotification, {}});
    });
    // Handled: logind need not wait for us any longer.
    watcher->inhibitor_.reset();
    return 0;
}

}  // namespace tarvolin
