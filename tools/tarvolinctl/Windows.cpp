#include "Windows.h"

#include "app/AppDelegate.h"
#include "platform/linux/LinuxPlatform.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <iostream>

namespace tarvolin {

namespace {

// The scan notes each new window in the log; a listing has no use for those lines.
class NoLog final : public SystemLog {
public:
    void log(std::string_view) override {}
};

}  // namespace

int printWindows(bool json) {
    std::string error;
    auto desktop = LinuxPlatform::open(error, nullptr, LinuxPlatform::Role::observer);
    if (!desktop) {
        std::cerr << "tarvolinctl: " << error << "\n";
        return 1;
    }
    NoLog quiet;
    const Platform& p = desktop->platform();
    Platform platform{p.application,
                      p.runLoop,
                      p.workspace,
                      p.windows,
                      p.accessibility,
                      p.processes,
                      p.pasteboards,
                      p.userDefaults,
                      p.notificationCenter,
                      p.distributedNotifications,
                      p.darwinNotifications,
                      p.scripts,
                      p.screens,
                      quiet,
                      p.keyedUnarchiver,
                      p.graphics};
    AppDelegate agent(platform);
    agent.resetWindowInfo();

    nlohmann::json list = nlohmann::json::array();
    for (const auto& r : *agent.windowInfoArray()) {
        nlohmann::json title =
            r->originalWinName() ? nlohmann::json(*r->originalWinName()) : nlohmann::json();
        list.push_back({{"winId", r->winId()},
                        {"pid", r->pid()},
                        {"appName", r->appName() ? nlohmann::json(*r->appName()) : nlohmann::json()},
                        {"title", title},
                        {"x", r->x()},
                        {"y", r->y()},
                        {"width", r->width()},
                        {"height", r->height()},
                        {"key", r->key().value_or("")}});
    }
    if (json) {
        // Replace bytes that are not UTF-8 (titles come from other programs) rather than fail.
        std::cout << list.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
        return 0;
    }
    std::printf("%-10s %-7s %-16s %-24s %-22s %s\n", "WINDOW", "PID", "APPLICATION", "TITLE", "BOUNDS",
                "KEY");
    for (const auto& r : *agent.windowInfoArray()) {
        const std::string bounds = std::to_string(r->width()) + "x" + std::to_string(r->height()) + "+" +
                                   std::to_string(r->x()) + "+" + std::to_string(r->y());
        std::printf("%-10lld %-7lld %-16s %-24s %-22s %s\n", static_cast<long long>(r->winId()),
                    static_cast<long long>(r->pid()), r->appName().value_or("").c_str(),
                    r->winName().value_or("").c_str(), bounds.c_str(), r->key().value_or("").c_str());
    }
    return 0;
}

}  // namespace tarvolin
