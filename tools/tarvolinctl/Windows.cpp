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

struct Inventory::Scan {
    std::unique_ptr<LinuxPlatform> desktop;
    NoLog quiet;
    std::optional<Platform> platform;
    std::optional<AppDelegate> agent;
};

Inventory::Inventory() : scan_(std::make_unique<Scan>()) {}
Inventory::~Inventory() = default;

std::unique_ptr<Inventory> Inventory::open(std::string& error) {
    std::unique_ptr<Inventory> inventory(new Inventory());
    Scan& s = *inventory->scan_;
    s.desktop = LinuxPlatform::open(error, nullptr, LinuxPlatform::Role::observer);
    if (!s.desktop) return nullptr;
    const Platform& p = s.desktop->platform();
    s.platform.emplace(Platform{p.application, p.runLoop, p.workspace, p.windows, p.accessibility,
                                p.processes, p.pasteboards, p.userDefaults, p.notificationCenter,
                                p.distributedNotifications, p.darwinNotifications, p.scripts, p.screens,
                                s.quiet, p.keyedUnarchiver, p.graphics});
    s.agent.emplace(*s.platform);
    s.agent->resetWindowInfo();
    return inventory;
}

const WindowInfoList& Inventory::windows() const { return *scan_->agent->windowInfoArray(); }

std::optional<std::vector<WindowEntry>> scanWindows(std::string& error) {
    auto inventory = Inventory::open(error);
    if (!inventory) return std::nullopt;
    std::vector<WindowEntry> entries;
    for (const auto& r : inventory->windows()) {
        entries.push_back({r->winId(), r->pid(), r->appName(), r->originalWinName(),
                           r->winName().value_or(""), r->x(), r->y(), r->width(), r->height(),
                           r->key().value_or(""), r->icon()});
    }
    return entries;
}

int printWindows(bool json) {
    std::string error;
    auto entries = scanWindows(error);
    if (!entries) {
        std::cerr << "tarvolinctl: " << error << "\n";
        return 1;
    }
    nlohmann::json list = nlohmann::json::array();
    for (const auto& e : *entries) {
        list.push_back({{"winId", e.winId},
                        {"pid", e.pid},
                        {"appName", e.appName ? nlohmann::json(*e.appName) : nlohmann::json()},
                        {"title", e.title ? nlohmann::json(*e.title) : nlohmann::json()},
                        {"x", e.x},
                        {"y", e.y},
                        {"width", e.width},
                        {"height", e.height},
                        {"key", e.key}});
    }
    if (json) {
        // Replace bytes that are not UTF-8 (titles come from other programs) rather than fail.
        std::cout << list.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
        return 0;
    }
    std::printf("%-10s %-7s %-16s %-24s %-22s %s\n", "WINDOW", "PID", "APPLICATION", "TITLE", "BOUNDS",
                "KEY");
    for (const auto& e : *entries) {
        const std::string bounds = std::to_string(e.width) + "x" + std::to_string(e.height) + "+" +
                                   std::to_string(e.x) + "+" + std::to_string(e.y);
        std::printf("%-10lld %-7lld %-16s %-24s %-22s %s\n", static_cast<long long>(e.winId),
                    static_cast<long long>(e.pid), e.appName.value_or("").c_str(), e.winName.c_str(),
                    bounds.c_str(), e.key.c_str());
    }
    return 0;
}

}  // namespace tarvolin
