#pragma once

#include <any>
#include <functional>
#include <string>
#include <string_view>

namespace tarvolin {

struct Notification {
    std::string name;
    std::any object;  // the sender, or empty
};

// An in-process notification centre: handlers run on the posting thread.
class NotificationCenter {
public:
    using Handler = std::function<void(const Notification&)>;
    virtual ~NotificationCenter() = default;
    // Registered with no object: the handler gets the named notification from every sender.
    virtual void addObserver(const void* observer, std::string name, Handler handler) = 0;
    // Ends every registration of the observer.
    virtual void removeObserver(const void* observer) = 0;
    virtual void postNotification(const Notification& notification) = 0;
};

// Notifications to observers in other processes of the same user.
class DistributedNotificationCenter {
public:
    virtual ~DistributedNotificationCenter() = default;
    virtual void postNotificationName(std::string_view name) = 0;
};

// System-wide notifications that any process may observe by name, with no payload.
class DarwinNotifyCenter {
public:
    virtual ~DarwinNotifyCenter() = default;
    virtual void postNotification(std::string_view name, bool deliverImmediately) = 0;
};

inline constexpr const char* NSUserDefaultsDidChangeNotification = "NSUserDefaultsDidChangeNotification";
inline constexpr const char* NSWorkspaceWillSleepNotification = "NSWorkspaceWillSleepNotification";

}  // namespace tarvolin
