#pragma once

#include "LinuxRunLoop.h"
#include "UniqueFd.h"
#include "platform/Notifications.h"
#include "platform/SystemLog.h"

#include <systemd/sd-bus.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tarvolin {

// The notifications the agent posts, as D-Bus signals on the user's session bus:
//   path /org/tarvolin/Agent, member Notification, one string argument (the name),
//   interface org.tarvolin.Agent.Distributed for distributed notifications and
//   interface org.tarvolin.Agent.Darwin for system-wide (Darwin-style) ones.
namespace bus {
inline constexpr const char* kObjectPath = "/org/tarvolin/Agent";
inline constexpr const char* kDistributedInterface = "org.tarvolin.Agent.Distributed";
inline constexpr const char* kDarwinInterface = "org.tarvolin.Agent.Darwin";
inline constexpr const char* kSignal = "Notification";
}  // namespace bus

struct SdBusUnref {
    void operator()(sd_bus* bus) const;
};
using SdBusPtr = std::unique_ptr<sd_bus, SdBusUnref>;
struct SdBusSlotUnref {
    void operator()(sd_bus_slot* slot) const;
};
using SdBusSlotPtr = std::unique_ptr<sd_bus_slot, SdBusSlotUnref>;
struct SdBusMessageUnref {
    void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using SdBusMessagePtr = std::unique_ptr<sd_bus_message, SdBusMessageUnref>;

// A call's error, freed with it.
struct SdBusError {
    sd_bus_error e{};  // SD_BUS_ERROR_NULL, without its C compound literal
    ~SdBusError() { sd_bus_error_free(&e); }
    // The bus's message, else the text of the errno `r`.
    std::string text(int r) const;
};

// The unique name that owns `name` on the bus; none when nobody does.
std::optional<std::string> busNameOwner(sd_bus* bus, const char* name);
// Sets `*lost` once `name` has no owner any more, for as long as `slot` lives.
int watchNameLoss(sd_bus* bus, const char* name, bool* lost, SdBusSlotPtr& slot);

enum class BusKind { session, system };
// Connects and attaches the connection to the loop; none (and a reason) when there is no bus.
SdBusPtr openBus(BusKind kind, LinuxRunLoop& loop, std::string& error);

// Posts both kinds of notification. Without a session bus it logs one line at start
// and drops every post; a post the bus refuses is logged, never thrown.
class SessionBusNotifications final : public DistributedNotificationCenter, public DarwinNotifyCenter {
public:
    SessionBusNotifications(LinuxRunLoop& loop, SystemLog& log);
    ~SessionBusNotifications() override;

    void postNotificationName(std::string_view name) override;
    void postNotification(std::string_view name, bool deliverImmediately) override;
    bool connected() const { return bus_ != nullptr; }

private:
    void emit(const char* interface, std::string_view name, bool flush);
    SystemLog& log_;
    SdBusPtr bus_;
    bool reportedFailure_ = false;
};

// Receives the agent's notifications (for the companion tool and the tests).
class NotificationListener {
public:
    enum class Kind { distributed, darwin };
    using Callback = std::function<void(Kind, const std::string& name)>;
    // Throws std::runtime_error when there is no session bus.
    NotificationListener(LinuxRunLoop& loop, Callback callback);

private:
    static int onSignal(sd_bus_message* message, void* self, sd_bus_error* error);
    Callback callback_;
    SdBusPtr bus_;
    SdBusSlotPtr slot_;
};

// Posts the workspace's will-sleep notification when logind announces PrepareForSleep(true)
// on the system bus. It holds a logind "delay" inhibitor meanwhile, so the machine waits
// (up to logind's InhibitDelayMaxSec) until the notification has been handled; the
// inhibitor is let go right after, and taken again on wake-up. Without a system bus it
// logs one line and does nothing; without logind it only watches.
class SleepWatcher {
public:
    SleepWatcher(LinuxRunLoop& loop, NotificationCenter& workspaceCenter, SystemLog& log);
    bool connected() const { return slot_ != nullptr; }
    bool holdsDelayLock() const { return static_cast<bool>(inhibitor_); }

private:
    static int onPrepareForSleep(sd_bus_message* message, void* self, sd_bus_error* error);
    static int onInhibitReply(sd_bus_message* message, void* self, sd_bus_error* error);
    void requestDelayLock();
    NotificationCenter& center_;
    SystemLog& log_;
    SdBusPtr bus_;
    SdBusSlotPtr slot_;
    SdBusSlotPtr inhibitCall_;
    UniqueFd inhibitor_;
    bool reportedInhibitFailure_ = false;
};

}  // namespace tarvolin
