#pragma once

#include "platform/linux/desktop/Snapshot.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvolin::kde {

// The number a window of KWin goes by (KWin names windows by a UUID): derived from the UUID,
// so that every program of the session that asks KWin numbers a window alike, and within the
// 32-bit window numbers of the command format. Never 0.
std::int64_t windowNumber(std::string_view uuid);

// KWin's windows as the agent's script reports them, one message at a time: the snapshot the
// desktop model reads, and the UUID behind each window number.
class KWinState {
public:
    // Applies one message of the script; false (and the state unchanged) when it is not one.
    bool apply(std::string_view message, std::string& error);
    // The desktop after every message applied; a new generation when one changed anything.
    const desktop::Snapshot& snapshot();
    bool seenHello() const { return hello_ != 0; }
    int kwinVersion() const { return hello_; }
    std::optional<std::string> uuid(std::int64_t number) const;

private:
    struct Record {
        desktop::Window window;
        std::string uuid;
    };
    std::int64_t number(const std::string& uuid);

    int hello_ = 0;
    std::map<std::string, Record> windows_;  // by UUID
    std::vector<std::string> order_;         // front first
    std::string active_;
    std::vector<desktop::Box> screens_;
    // Every UUID numbered since the start: a number never passes to another window.
    std::map<std::int64_t, std::string> numbered_;
    std::map<std::string, std::int64_t> numbers_;
    desktop::Snapshot snapshot_;
    bool changed_ = false;
};

}  // namespace tarvolin::kde
