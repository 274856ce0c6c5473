#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace tarvolin {

using Duration = std::chrono::nanoseconds;

// A timer made unscheduled; a run loop fires it once added.
struct Timer {
    Duration interval;
    bool repeats = true;
    std::function<void()> task;

    static std::shared_ptr<Timer> make(Duration interval, bool repeats, std::function<void()> task) {
        return std::make_shared<Timer>(Timer{interval, repeats, std::move(task)});
    }
};

// The main thread's run loop and main queue.
class RunLoop {
public:
    using Task = std::function<void()>;
    virtual ~RunLoop() = default;
    // Time since the loop's own epoch; only differences mean anything.
    virtual Duration now() const = 0;
    // Schedules the timer on the main thread: the first firing is one interval after the
    // call, and a repeating timer then fires every interval. Missed firings are not made up.
    virtual void addTimer(std::shared_ptr<Timer> timer) = 0;
    // Runs the task once on the main thread, no earlier than `delay` from now.
    virtual void dispatchAfter(Duration delay, Task task) = 0;
    // Runs the task on the main thread soon. Safe to call from any thread.
    virtual void dispatchAsync(Task task) = 0;
    virtual bool isMainThread() const = 0;
};

}  // namespace tarvolin
