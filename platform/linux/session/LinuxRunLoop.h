#pragma once

#include "platform/RunLoop.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

typedef struct sd_event sd_event;
typedef struct sd_event_source sd_event_source;
struct signalfd_siginfo;

namespace tarvolin {

struct SdEventSourceUnref {
    void operator()(sd_event_source* source) const;
};
using SdEventSourcePtr = std::unique_ptr<sd_event_source, SdEventSourceUnref>;

// The main thread's event loop, on sd-event. Timers and delayed tasks share one
// queue ordered by due time (ties in the order they were added); dispatchAsync
// wakes the loop through an eventfd. Everything runs on the thread that made the loop.
class LinuxRunLoop final : public RunLoop {
public:
    using FdCallback = std::function<void(std::uint32_t revents)>;

    // Removes its fd source when dropped.
    class FdSource {
    public:
        FdSource();
        ~FdSource();
        FdSource(FdSource&&) noexcept;
        FdSource& operator=(FdSource&&) noexcept;
        explicit operator bool() const { return source_ != nullptr; }
        // Stops callbacks; safe from inside the source's own callback, unlike dropping it.
        void disable();

    private:
        friend class LinuxRunLoop;
        struct Entry;
        std::unique_ptr<Entry> source_;
    };

    LinuxRunLoop();  // throws std::system_error when sd-event cannot start
    ~LinuxRunLoop() override;
    LinuxRunLoop(const LinuxRunLoop&) = delete;
    LinuxRunLoop& operator=(const LinuxRunLoop&) = delete;

    Duration now() const override;
    void addTimer(std::shared_ptr<Timer> timer) override;
    void dispatchAfter(Duration delay, Task task) override;
    void dispatchAsync(Task task) override;
    bool isMainThread() const override;

    // Calls back on the loop when the fd is ready for `events` (EPOLLIN...). The fd stays
    // the caller's; it must outlive the returned source.
    FdSource addFdSource(int fd, std::uint32_t events, FdCallback callback);

    // SIGTERM and SIGINT are blocked for the thread and delivered here instead, on the loop.
    void handleTerminationSignals(std::function<void(int signal)> handler);

    // Runs until exit(); returns the code given to exit(). May be run again afterwards.
    int run();
    void exit(int code);

    sd_event* event() const { return event_; }

private:
    struct Scheduled {
        std::shared_ptr<Timer> timer;  // repeating or one-shot timer, or
        Task task;                     // a delayed task
    };
    static int onTimeSource(sd_event_source*, std::uint64_t, void* self);
    static int onWakeup(sd_event_source*, int, std::uint32_t, void* self);
    static int onSignal(sd_event_source*, const ::signalfd_siginfo*, void* self);
    void schedule(Duration due, Scheduled entry);
    void armTimeSource();
    void runDue();
    void drainAsync();

    sd_event* event_ = nullptr;
    std::thread::id mainThread_;
    std::chrono::steady_clock::time_point epoch_;

    std::multimap<Duration, Scheduled> due_;
    SdEventSourcePtr timeSource_;

    int wakeFd_ = -1;
    SdEventSourcePtr wakeSource_;
    std::mutex asyncMutex_;
    std::deque<Task> async_;

    std::atomic<bool> exitRequested_{false};
    int exitCode_ = 0;
    std::function<void(int)> signalHandler_;
    SdEventSourcePtr sigterm_, sigint_;
};

// Runs a task with a fence against exceptions: they must not unwind through sd-event.
void runGuarded(const char* what, const std::function<void()>& task);

}  // namespace tarvolin
