#pragma once

#include "Image.h"
#include "Notifications.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvolin {

struct RunningApplication {
    std::int32_t processIdentifier = 0;
    std::optional<std::string> localizedName;
    Image icon;
    std::string bundleIdentifier;
};

class Workspace {
public:
    virtual ~Workspace() = default;
    // Every running application, in the platform's fixed order.
    virtual std::vector<RunningApplication> runningApplications() = 0;
    // Every running application with that bundle identifier, the caller included.
    virtual std::vector<RunningApplication> runningApplicationsWithBundleIdentifier(std::string_view id) = 0;
    // Where the system announces workspace events such as the will-sleep notification.
    virtual NotificationCenter& notificationCenter() = 0;
};

struct ProcessSerialNumber {
    std::uint32_t highLongOfPSN = 0;
    std::uint32_t lowLongOfPSN = 0;
    friend bool operator==(const ProcessSerialNumber&, const ProcessSerialNumber&) = default;
};

inline constexpr std::uint32_t kSetFrontProcessFrontWindowOnly = 1;

// Front-most process control.
class ProcessManager {
public:
    virtual ~ProcessManager() = default;
    virtual std::optional<ProcessSerialNumber> getProcessForPID(std::int32_t pid) = 0;
    // Returns 0 on success, a platform status otherwise.
    virtual std::int32_t setFrontProcessWithOptions(const ProcessSerialNumber& psn,
                                                    std::uint32_t options) = 0;
};

}  // namespace tarvolin
