#pragma once

// A peer on the session bus that a test plays (a compositor, say), on a thread of its own, so that
// the code under test can block on it as on the real one.
#include "LinuxTestSupport.h"
#include "platform/AccessibilityNames.h"
#include "platform/LocalNotificationCenter.h"
#include "platform/linux/desktop/DesktopBackend.h"

#include <systemd/sd-bus.h>

#include <atomic>
#include <mutex>
#include <thread>

namespace tarvolin::test {

class FakePeer {
public:
    // Owns `name` on the bus of $DBUS_SESSION_BUS_ADDRESS; `serve` adds its objects first.
    template <class Serve>
    FakePeer(const char* name, Serve serve) {
        sd_bus_open_user(&bus_);
        serve(bus_);
        sd_bus_request_name(bus_, name, 0);
        thread_ = std::thread([this] {
            while (!stop_) {
                std::lock_guard lock(mutex_);
                if (sd_bus_process(bus_, nullptr) > 0) continue;
                sd_bus_wait(bus_, 10'000);
            }
        });
    }
    ~FakePeer() {
        stop_ = true;
        thread_.join();
        sd_bus_flush_close_unref(bus_);
    }
    // Runs `f` with the bus, between two turns of the peer's loop.
    template <class F>
    auto withBus(F f) {
        std::lock_guard lock(mutex_);
        return f(bus_);
    }

private:
    sd_bus* bus_ = nullptr;
    std::thread thread_;
    std::mutex mutex_;
    std::atomic<bool> stop_ = false;
};

// A transport's test against a peer: a private session bus, the transport's log, and the one
// window the peers report (pid 42) raised through its element.
class PeerTransportTest : public ::testing::Test {
protected:
    ScopedBus bus{"DBUS_SESSION_BUS_ADDRESS"};
    LocalNotificationCenter center;
    std::vector<std::string> log;

    std::unique_ptr<DesktopBackend> logged(std::unique_ptr<DesktopBackend> d) {
        if (d) d->setLog([this](const std::string& line) { log.push_back(line); });
        return d;
    }
    static AXError raise(DesktopBackend& d) {
        const auto windows =
            ax::copyAttributeValue(d.accessibility().createApplication(42), kAXWindowsAttribute).value;
        if (!windows || windows->asArray()->empty()) return AXError::noValue;
        return ax::performAction(*windows->asArray()->front().asElement(), kAXRaiseAction);
    }
    std::string said() const {
        std::string all;
        for (const auto& line : log) all += line + "\n";
        return all;
    }
};

}  // namespace tarvolin::test
