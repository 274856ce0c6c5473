#pragma once

#include "Snapshot.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvolin::desktop {

// The number a window goes by where the compositor names windows by text (KWin's UUIDs, the
// Shell's 64-bit ids): derived from that name, so that every program of the session numbers a
// window alike, and within the 32-bit window numbers of the command format. Never 0.
std::int64_t windowNumber(std::string_view nativeId);

// A compositor's windows as code of the agent's own inside it (a KWin script, a GNOME Shell
// extension) reports them, one JSON message at a time: the snapshot the desktop model reads,
// and the compositor's id behind each window number.
class ReportedState {
public:
    // Applies one message; false (and the state unchanged) when it is not one. A message with
    // `hello` (the reporter's version) starts afresh.
    bool apply(std::string_view message, std::string& error);
    // The desktop after every message applied; a new generation when one changed anything.
    const Snapshot& snapshot();
    bool seenHello() const { return hello_ != 0; }
    int version() const { return hello_; }
    std::optional<std::string> nativeId(std::int64_t number) const;

private:
    struct Record {
        Window window;
        std::string nativeId;
    };
    std::int64_t number(const std::string& nativeId);

    int hello_ = 0;
    std::map<std::string, Record> windows_;  // by native id
    std::vector<std::string> order_;         // front first
    std::string active_;
    std::vector<Box> screens_;
    // Every id numbered since the start: a number never passes to another window.
    std::map<std::int64_t, std::string> numbered_;
    std::map<std::string, std::int64_t> numbers_;
    Snapshot snapshot_;
    bool changed_ = false;
};

}  // namespace tarvolin::desktop
