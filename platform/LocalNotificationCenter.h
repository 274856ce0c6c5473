#pragma once

#include "Notifications.h"

#include <mutex>
#include <vector>

namespace tarvolin {

// The one in-process centre every backend uses. Safe to post from any thread.
class LocalNotificationCenter final : public NotificationCenter {
public:
    void addObserver(const void* observer, std::string name, Handler handler) override;
    void removeObserver(const void* observer) override;
    void postNotification(const Notification& notification) override;

private:
    struct Registration {
        const void* observer;
        std::string name;
        Handler handler;
    };
    std::mutex mutex_;
    std::vector<Registration> registrations_;
};

}  // namespace tarvolin
