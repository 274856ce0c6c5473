#include "CompositorTransport.h"

#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace tarvolin::compositor {

namespace {

using namespace std::chrono_literals;
using std::chrono::duration_cast;
using std::chrono::microseconds;

// While away, how often the code inside is tried again.
constexpr auto kRetry = 100ms;

}  // namespace

bool CompositorTransport::broken() const {
    return compositorGone_ || lost_ || !bus_ || sd_bus_is_open(bus_.get()) <= 0;
}

bool CompositorTransport::open(const char* compositorName, Clock::duration callTimeout, std::string& error) {
    sd_bus* raw = nullptr;
    if (sd_bus_open_user(&raw) < 0) return false;
    bus_.reset(raw);
    sd_bus_set_method_call_timeout(raw, duration_cast<microseconds>(callTimeout).count());
    auto owner = busNameOwner(raw, compositorName);
    if (!owner) return false;
    compositor_ = *owner;

    int r = watchNameLoss(raw, compositorName, &compositorGone_, ownerWatch_);
    epoll_ = UniqueFd(::epoll_create1(EPOLL_CLOEXEC));
    timer_ = UniqueFd(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
    if (r >= 0 && (!epoll_ || !timer_)) r = -errno;
    for (int fd : {sd_bus_get_fd(raw), timer_.get()}) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        if (r >= 0 && ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &ev) != 0) r = -errno;
    }
    if (r < 0) {
        error = std::string(compositorName) +
                " is on the session bus, but the agent cannot follow it there: " + SdBusError{}.text(r);
        return false;
    }
    return true;
}

bool CompositorTransport::processEvents() {
    std::uint64_t expirations = 0;
    if (::read(timer_.get(), &expirations, sizeof expirations) < 0 && errno != EAGAIN) return !broken();
    process();
    return !broken();
}

const desktop::Snapshot& CompositorTransport::sync() {
    live();
    return state_.snapshot();
}

bool CompositorTransport::watchFd(int fd) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    return ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &ev) == 0;
}

void CompositorTransport::unwatchFd(int fd) { ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr); }

void CompositorTransport::process() {
    while (!broken() && sd_bus_process(bus_.get(), nullptr) > 0) {
    }
    readMore();
    runDue();
    arm();
}

void CompositorTransport::runDue() {
    // What is due runs once at a time: bringing the code inside back waits on the bus itself.
    if (running_ || broken()) return;
    running_ = true;
    if (auto wake = nextWake(); wake && Clock::now() >= *wake) onTimer();
    if (away() && (!nextTry_ || Clock::now() >= *nextTry_)) {
        if (comeBack()) {
            awaySince_.reset();
            nextTry_.reset();
            say(inside() + " is back");
        } else if (Clock::now() - *awaySince_ >= awayLimit_) {
            say(lostWhy());
            lost_ = true;
        } else {
            nextTry_ = Clock::now() + kRetry;
        }
    }
    running_ = false;
}

void CompositorTransport::arm() {
    std::optional<Clock::time_point> wake = nextWake();
    if (away()) {
        const Clock::time_point retry = nextTry_.value_or(Clock::now());
        wake = wake ? std::min(*wake, retry) : retry;
    }
    itimerspec spec{};
    if (wake && !broken()) {
        // A zero time would disarm the timer: something due now fires at once.
        const auto left = std::max<Clock::duration>(*wake - Clock::now(), 1us);
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
        spec.it_value.tv_sec = seconds.count();
        spec.it_value.tv_nsec = std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds).count();
    }
    ::timerfd_settime(timer_.get(), 0, &spec, nullptr);
}

bool CompositorTransport::waitUntil(const std::function<bool()>& done, Clock::duration timeout) {
    const auto end = Clock::now() + timeout;
    for (process(); !done(); process()) {
        const auto now = Clock::now();
        if (broken() || now >= end) return false;
        auto until = end;
        if (auto wake = nextWake()) until = std::min(until, *wake);
        if (away() && nextTry_) until = std::min(until, *nextTry_);
        if (until > now) sd_bus_wait(bus_.get(), duration_cast<microseconds>(until - now).count() + 1);
    }
    return true;
}

bool CompositorTransport::report(std::string_view message) {
    std::string why;
    if (state_.apply(message, why)) return true;
    say("ignored a message of " + inside() + " that could not be read: " + why);
    return false;
}

std::vector<std::string> CompositorTransport::nativeIds(const std::vector<const desktop::Window*>& windows,
                                                        bool& all) const {
    std::vector<std::string> ids;
    all = true;
    for (const desktop::Window* w : windows) {
        if (auto id = state_.nativeId(w->id))
            ids.push_back(std::move(*id));
        else
            all = false;
    }
    return ids;
}

bool CompositorTransport::close(const std::vector<const desktop::Window*>& windows) {
    bool all = true;
    const auto ids = nativeIds(windows, all);
    return ids.empty() || closeIds(ids);
}

void CompositorTransport::goneAway(const std::string& why) {
    if (away() || broken()) return;
    say(why);
    awaySince_ = Clock::now();
    nextTry_.reset();
    arm();
}

bool CompositorTransport::live() {
    process();  // the news first: the code inside may have said it is gone
    while (away() && !broken() && !running_) {
        const auto now = Clock::now();
        if (nextTry_ && *nextTry_ > now)
            sd_bus_wait(bus_.get(), duration_cast<microseconds>(*nextTry_ - now).count() + 1);
        process();
    }
    return !away() && !broken();
}

std::string CompositorTransport::windowName(std::int64_t id) const {
    return name() + " window " + state_.nativeId(id).value_or(std::to_string(id));
}

void CompositorTransport::say(const std::string& line) const {
    if (log_) log_("tarvolin: " + line);
}

}  // namespace tarvolin::compositor
