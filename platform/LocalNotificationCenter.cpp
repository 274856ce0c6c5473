#include "LocalNotificationCenter.h"

#include <algorithm>

namespace tarvolin {

void LocalNotificationCenter::addObserver(const void* observer, std::string name, Handler handler) {
    std::lock_guard lock(mutex_);
    registrations_.push_back({observer, std::move(name), std::move(handler)});
}

void LocalNotificationCenter::removeObserver(const void* observer) {
    std::lock_guard lock(mutex_);
    std::erase_if(registrations_, [&](const Registration& r) { return r.observer == observer; });
}

void LocalNotificationCenter::postNotification(const Notification& notification) {
    // Handlers run without the lock, so they may register or post in turn.
    std::vector<Handler> handlers;
    {
        std::lock_guard lock(mutex_);
        for (const auto& r : registrations_)
            if (r.name == notification.name) handlers.push_back(r.handler);
    }
    for (const auto& h : handlers) h(notification);
}

}  // namespace tarvolin
