#pragma once

#include "platform/linux/desktop/Snapshot.h"

#include <nlohmann/json_fwd.hpp>

#include <chrono>
#include <deque>
#include <functional>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvolin::compositor {

using desktop::Box;
using desktop::Snapshot;
using desktop::Window;

// The number a window goes by where the compositor names windows by text (KWin's UUIDs, the
// Shell's 64-bit ids): derived from that name, so that every program of the session numbers a
// window alike, and within the 32-bit window numbers of the command format. Never 0.
std::int64_t windowNumber(std::string_view nativeId);

// A compositor's windows as code of the agent's own inside it (a KWin script, a GNOME Shell
// extension) reports them, one JSON message at a time: the snapshot the desktop model reads,
// and the compositor's id behind each window number.
class ReportedState {
public:
    using Clock = std::chrono::steady_clock;
    // A gone window's number stays reserved this long, so that a command naming it (from a list
    // taken before it went) reaches nothing rather than a window that took its number.
    static constexpr Clock::duration kKeepGone = std::chrono::minutes(10);

    explicit ReportedState(std::function<Clock::time_point()> now = &Clock::now) : now_(std::move(now)) {}

    // Applies one message; false (and the state unchanged) when it is not one. A message with
    // `hello` (the reporter's version) starts afresh.
    bool apply(std::string_view message, std::string& error);
    bool apply(const nlohmann::json& message, std::string& error);
    // The desktop after every message applied; a new generation when one changed anything.
    const Snapshot& snapshot();
    bool seenHello() const { return hello_ != 0; }
    // How many messages started afresh.
    std::uint64_t hellos() const { return hellos_; }
    int version() const { return hello_; }
    std::optional<std::string> nativeId(std::int64_t number) const;
    // Which screen is the primary, where the reporter cannot say: it goes first.
    void setPrimary(const std::optional<Box>& primary);
    // How many window numbers are reserved, for windows there and gone.
    std::size_t numbersHeld() const { return numbered_.size(); }

private:
    struct Record {
        Window window;
        std::string nativeId;
    };
    std::int64_t number(const std::string& nativeId);
    void gone(const std::string& nativeId);
    void forgetLongGone();

    std::function<Clock::time_point()> now_;
    int hello_ = 0;
    std::uint64_t hellos_ = 0;
    std::map<std::string, Record> windows_;  // by native id
    std::vector<std::string> order_;         // front first
    std::string active_;
    std::vector<Box> screens_;
    std::optional<Box> primary_;
    // Every window there or gone within kKeepGone, both ways: a number never passes to another
    // window meanwhile.
    std::map<std::int64_t, std::string> numbered_;
    std::map<std::string, std::int64_t> numbers_;
    std::map<std::string, Clock::time_point> goneAt_;
    std::deque<std::pair<Clock::time_point, std::string>> goneOrder_;  // oldest first
    Snapshot snapshot_;
    bool changed_ = false;
};

}  // namespace tarvolin::compositor
