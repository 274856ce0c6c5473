#include "LinuxRunLoop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <systemd/sd-event.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <exception>
#include <system_error>

namespace tarvolin {

namespace {

// A repeating timer shorter than this would keep the loop spinning.
constexpr Duration kMinimumRepeat = std::chrono::milliseconds(1);

std::uint64_t toUsec(Duration d) {
    if (d <= Duration::zero()) return 0;
    return static_cast<std::uint64_t>(std::chrono::ceil<std::chrono::microseconds>(d).count());
}

void check(int r, const char* what) {
    if (r < 0) throw std::system_error(-r, std::generic_category(), what);
}

}  // namespace

void runGuarded(const char* what, const std::function<void()>& task) {
    try {
        if (task) task();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tarvolin: %s failed: %s\n", what, e.what());
    } catch (...) {
        std::fprintf(stderr, "tarvolin: %s failed with an unknown exception\n", what);
    }
}

void SdEventSourceUnref::operator()(sd_event_source* source) const {
    // Disable first: a source referenced elsewhere must not fire into a dead owner.
    sd_event_source_set_enabled(source, SD_EVENT_OFF);
    sd_event_source_unref(source);
}

struct LinuxRunLoop::FdSource::Entry {
    FdCallback callback;
    SdEventSourcePtr source;
    static int dispatch(sd_event_source*, int, std::uint32_t revents, void* self) {
        auto* entry = static_cast<Entry*>(self);
        runGuarded("fd handler", [&] { entry->callback(revents); });
        return 0;
    }
};

LinuxRunLoop::FdSource::FdSource() = default;
LinuxRunLoop::FdSource::~FdSource() = default;
LinuxRunLoop::FdSource::FdSource(FdSource&&) noexcept = default;
LinuxRunLoop::FdSource& LinuxRunLoop::FdSource::operator=(FdSource&&) noexcept = default;

void LinuxRunLoop::FdSource::disable() {
    if (source_ && source_->source) sd_event_source_set_enabled(source_->source.get(), SD_EVENT_OFF);
}

LinuxRunLoop::LinuxRunLoop()
    : mainThread_(std::this_thread::get_id()), epoch_(std::chrono::steady_clock::now()) {
    check(sd_event_new(&event_), "sd_event_new");
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) {
        int err = errno;
        sd_event_unref(event_);
        throw std::system_error(err, std::generic_category(), "eventfd");
    }
    sd_event_source* source = nullptr;
    int r = sd_event_add_io(event_, &source, wakeFd_, EPOLLIN, &LinuxRunLoop::onWakeup, this);
    if (r < 0) {
        ::close(wakeFd_);
        sd_event_unref(event_);
        check(r, "sd_event_add_io");
    }
    wakeSource_.reset(source);
}

LinuxRunLoop::~LinuxRunLoop() {
    sigterm_.reset();
    sigint_.reset();
    timeSource_.reset();
    wakeSource_.reset();
    ::close(wakeFd_);
    sd_event_unref(event_);
}

Duration LinuxRunLoop::now() const { return std::chrono::steady_clock::now() - epoch_; }

bool LinuxRunLoop::isMainThread() const { return std::this_thread::get_id() == mainThread_; }

void LinuxRunLoop::addTimer(std::shared_ptr<Timer> timer) {
    if (!timer) return;
    Duration due = now() + std::max(timer->interval, Duration::zero());
    schedule(due, Scheduled{std::move(timer), {}});
}

void LinuxRunLoop::dispatchAfter(Duration delay, Task task) {
    schedule(now() + std::max(delay, Duration::zero()), Scheduled{nullptr, std::move(task)});
}

void LinuxRunLoop::schedule(Duration due, Scheduled entry) {
    due_.emplace(due, std::move(entry));
    armTimeSource();
}

void LinuxRunLoop::armTimeSource() {
    if (due_.empty()) {
        if (timeSource_) sd_event_source_set_enabled(timeSource_.get(), SD_EVENT_OFF);
        return;
    }
    // Absolute CLOCK_MONOTONIC time of the earliest entry; accuracy 1 us (0 would mean 250 ms).
    auto epochUsec = std::chrono::duration_cast<std::chrono::microseconds>(epoch_.time_since_epoch());
    std::uint64_t at = static_cast<std::uint64_t>(epochUsec.count()) + toUsec(due_.begin()->first);
    if (!timeSource_) {
        sd_event_source* source = nullptr;
        check(sd_event_add_time(event_, &source, CLOCK_MONOTONIC, at, 1, &LinuxRunLoop::onTimeSource, this),
              "sd_event_add_time");
        timeSource_.reset(source);
    } else {
        check(sd_event_source_set_time(timeSource_.get(), at), "sd_event_source_set_time");
    }
    check(sd_event_source_set_enabled(timeSource_.get(), SD_EVENT_ONESHOT), "sd_event_source_set_enabled");
}

int LinuxRunLoop::onTimeSource(sd_event_source*, std::uint64_t, void* self) {
    static_cast<LinuxRunLoop*>(self)->runDue();
    return 0;
}

void LinuxRunLoop::runDue() {
    // Only what is due now; entries added by the tasks wait for the next pass.
    const Duration current = now();
    std::multimap<Duration, Scheduled> ready;
    auto end = due_.upper_bound(current);
    ready.insert(std::make_move_iterator(due_.begin()), std::make_move_iterator(end));
    due_.erase(due_.begin(), end);
    for (auto& [due, entry] : ready) {
        if (entry.timer) {
            auto timer = entry.timer;
            runGuarded("timer", timer->task);
            if (timer->repeats) {
                // The next firing on the timer's own grid after now: late firings are not made up.
                Duration after = now();
                const Duration interval = std::max(timer->interval, kMinimumRepeat);
                Duration next = due + interval;
                if (next <= after) next += ((after - next) / interval + 1) * interval;
                due_.emplace(next, std::move(entry));
            }
        } else {
            runGuarded("delayed task", entry.task);
        }
    }
    armTimeSource();
}

void LinuxRunLoop::dispatchAsync(Task task) {
    {
        std::lock_guard lock(asyncMutex_);
        async_.push_back(std::move(task));
    }
    std::uint64_t one = 1;
    // EAGAIN means the counter is saturated, so a wakeup is already pending.
    [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
}

int LinuxRunLoop::onWakeup(sd_event_source*, int, std::uint32_t, void* self) {
    static_cast<LinuxRunLoop*>(self)->drainAsync();
    return 0;
}

void LinuxRunLoop::drainAsync() {
    std::uint64_t count = 0;
    [[maybe_unused]] ssize_t n = ::read(wakeFd_, &count, sizeof count);
    std::deque<Task> tasks;
    {
        std::lock_guard lock(asyncMutex_);
        tasks.swap(async_);
    }
    for (auto& task : tasks) runGuarded("main-queue task", task);
}

LinuxRunLoop::FdSource LinuxRunLoop::addFdSource(int fd, std::uint32_t events, FdCallback callback) {
    FdSource handle;
    handle.source_ = std::make_unique<FdSource::Entry>();
    handle.source_->callback = std::move(callback);
    sd_event_source* source = nullptr;
    check(sd_event_add_io(event_, &source, fd, events, &FdSource::Entry::dispatch, handle.source_.get()),
          "sd_event_add_io");
    handle.source_->source.reset(source);
    return handle;
}

void LinuxRunLoop::handleTerminationSignals(std::function<void(int)> handler) {
    signalHandler_ = std::move(handler);
    if (sigterm_) return;
    for (auto [signo, slot] : {std::pair{SIGTERM, &sigterm_}, std::pair{SIGINT, &sigint_}}) {
        sd_event_source* source = nullptr;
        check(sd_event_add_signal(event_, &source, signo | SD_EVENT_SIGNAL_PROCMASK, &LinuxRunLoop::onSignal,
                                  this),
              "sd_event_add_signal");
        slot->reset(source);
    }
}

int LinuxRunLoop::onSignal(sd_event_source*, const ::signalfd_siginfo* info, void* self) {
    auto* loop = static_cast<LinuxRunLoop*>(self);
    int signo = static_cast<int>(info->ssi_signo);
    if (loop->signalHandler_) {
        runGuarded("signal handler", [&] { loop->signalHandler_(signo); });
    } else {
        loop->exit(128 + signo);
    }
    return 0;
}

int LinuxRunLoop::run() {
    // An exit() made before run() (e.g. during launch) ends this run at once.
    while (!exitRequested_) {
        int r = sd_event_run(event_, UINT64_MAX);
        if (r < 0) {
            std::fprintf(stderr, "tarvolin: event loop failed: %s\n",
                         std::system_category().message(-r).c_str());
            return 1;
        }
    }
    exitRequested_ = false;
    return exitCode_;
}

void LinuxRunLoop::exit(int code) {
    exitCode_ = code;
    exitRequested_ = true;
    // Wake a loop blocked in another iteration; harmless when called from inside it.
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
}

}  // namespace tarvolin
