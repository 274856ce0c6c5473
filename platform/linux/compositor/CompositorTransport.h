#pragma once

#include "ReportedState.h"
#include "platform/linux/desktop/Transport.h"
#include "platform/linux/session/NotificationBus.h"
#include "platform/linux/session/UniqueFd.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvolin::compositor {

using Clock = std::chrono::steady_clock;

// A desktop whose compositor runs code of the agent's own (a KWin script, a GNOME Shell
// extension) that reports the windows over the session bus and carries out the agent's commands.
// Here is what every such transport shares: the bus and the compositor's name on it, the
// windows as reported, the descriptor the run loop watches (the bus and a timer), and the
// channel's life. The code inside the compositor can go away while the compositor stays (a
// script unloaded, an extension disabled for a moment): the transport is then away, tries to
// bring it back, and holds what needs it until it is back; when it is not back within the
// transport's limit, the desktop counts as lost.
class CompositorTransport : public desktop::Transport {
public:
    ~CompositorTransport() override = default;

    bool broken() const override;
    int fd() const override { return epoll_.get(); }
    bool processEvents() override;
    const desktop::Snapshot& sync() override;
    // A window gone since the look counts as closed.
    bool close(const std::vector<const desktop::Window*>& windows) override;

    std::uint64_t roundTrips() const override { return roundTrips_; }
    std::string windowName(std::int64_t id) const override;
    void setLog(std::function<void(const std::string&)> log) override { log_ = std::move(log); }

protected:
    // `awayLimit`: how long the code inside may be away before the desktop counts as lost.
    explicit CompositorTransport(Clock::duration awayLimit) : awayLimit_(awayLimit) {}

    // Opens the session bus, finds who owns `compositorName` there and watches for its loss.
    // False with `error` empty when there is no session bus or nobody owns that name.
    bool open(const char* compositorName, Clock::duration callTimeout, std::string& error);
    sd_bus* bus() const { return bus_.get(); }
    // The compositor's unique name: only it speaks for the code inside.
    const std::string& compositor() const { return compositor_; }

    // Another descriptor of the transport's own for the run loop to watch; readMore() reads it.
    bool watchFd(int fd);
    void unwatchFd(int fd);
    virtual void readMore() {}

    // Takes what has arrived, and runs what is due.
    void process();
    // Until `done` holds, the desktop is lost or the code inside went away, or the time is up.
    bool waitUntil(const std::function<bool()>& done, Clock::duration timeout);

    // Applies one message of the code inside; one that does not read is logged and changes nothing.
    bool report(std::string_view message);
    // The compositor's ids of the windows still reported, and whether every one was.
    std::vector<std::string> nativeIds(const std::vector<const desktop::Window*>& windows, bool& all) const;
    virtual bool closeIds(const std::vector<std::string>& ids) = 0;

    // The code inside is gone: says why, and tries to bring it back from now on.
    void goneAway(const std::string& why);
    bool away() const { return awaySince_.has_value(); }
    // Holds the caller until the code inside is back (true), or the desktop is lost (false).
    bool live();
    // One try at bringing the code inside back; true once it answers again.
    virtual bool comeBack() = 0;
    // What is said when it is not back within the limit.
    virtual std::string lostWhy() const = 0;
    // How messages name the code inside ("KWin's script").
    virtual std::string inside() const = 0;
    // When the transport's own onTimer() is due next, if ever.
    virtual std::optional<Clock::time_point> nextWake() const { return std::nullopt; }
    virtual void onTimer() {}

    void countTrip() { ++roundTrips_; }
    void say(const std::string& line) const;

    ReportedState state_;

private:
    void runDue();
    void arm();

    SdBusPtr bus_;
    SdBusSlotPtr ownerWatch_;
    std::string compositor_;
    UniqueFd epoll_, timer_;
    bool compositorGone_ = false;
    bool lost_ = false;
    bool running_ = false;
    const Clock::duration awayLimit_;
    std::optional<Clock::time_point> awaySince_;
    std::optional<Clock::time_point> nextTry_;
    std::uint64_t roundTrips_ = 0;
    std::function<void(const std::string&)> log_;
};

}  // namespace tarvolin::compositor
