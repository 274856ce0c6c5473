#include "LinuxTestSupport.h"
#include "platform/linux/AgentInstanceLock.h"
#include "platform/linux/LinuxApplication.h"

#include <atomic>
#include <thread>

namespace tarvolin {
namespace {

using test::Child;
using test::Pipe;

TEST(LinuxRunLoop, DelayedTasksRunInDueOrderWithTiesInOrderAddedAndSurviveThrows) {
    LinuxRunLoop loop;
    std::vector<std::string> order;
    auto add = [&](Duration delay, std::string name) {
        loop.dispatchAfter(delay, [&, name] { order.push_back(name); });
    };
    add(30ms, "late");
    add(10ms, "tie-1");
    add(-5ms, "negative delay");
    loop.dispatchAsync([] { throw std::runtime_error("a throwing task does not stop the loop"); });
    add(10ms, "tie-2");
    loop.dispatchAfter(10ms, [&] {
        order.push_back("tie-3");
        add(0ms, "nested");  // added while running: waits its own turn
    });
    const Duration start = loop.now();
    Duration lateAt{};
    loop.dispatchAfter(30ms, [&] {
        lateAt = loop.now();
        loop.exit(3);
    });
    EXPECT_EQ(loop.run(), 3);
    EXPECT_EQ(order,
              (std::vector<std::string>{"negative delay", "tie-1", "tie-2", "tie-3", "nested", "late"}));
    EXPECT_GE(lateAt - start, Duration(30ms)) << "never earlier than asked";
}

TEST(LinuxRunLoop, RepeatingTimerKeepsItsGridAndSkipsMissedFirings) {
    LinuxRunLoop loop;
    std::vector<Duration> firings;
    auto timer = Timer::make(20ms, true, [&] {
        firings.push_back(loop.now());
        if (firings.size() == 2) std::this_thread::sleep_for(70ms);  // blocked past several intervals
        if (firings.size() == 4) loop.exit(0);
    });
    const Duration added = loop.now();
    loop.addTimer(timer);
    loop.run();
    ASSERT_EQ(firings.size(), 4u);
    EXPECT_GE(firings[0] - added, Duration(20ms));
    EXPECT_GE(firings[1] - firings[0], Duration(19ms));
    // Lower bounds only, which load cannot break: made-up firings would come in a burst right after the
    // block.
    EXPECT_GE(firings[2] - firings[1], Duration(70ms));
    EXPECT_GE(firings[3] - firings[1], Duration(90ms)) << "the missed firings were made up";
}

TEST(LinuxRunLoop, AZeroIntervalRepeatingTimerDoesNotSpinTheLoop) {
    LinuxRunLoop loop;
    int firings = 0;
    auto timer = Timer::make(Duration::zero(), true, [&] { ++firings; });
    const Duration start = loop.now();
    loop.addTimer(timer);
    loop.dispatchAfter(20ms, [&] { loop.exit(7); });
    EXPECT_EQ(loop.run(), 7) << "other work still runs";
    EXPECT_GE(firings, 1);
    EXPECT_LE(firings, std::chrono::duration_cast<std::chrono::milliseconds>(loop.now() - start).count() + 1)
        << "at most one firing per millisecond";
    EXPECT_EQ(timer->interval, Duration::zero()) << "the caller's timer is left as given";
}

TEST(LinuxRunLoop, DispatchAsyncFromManyThreadsRunsEveryTaskOnTheLoopThread) {
    LinuxRunLoop loop;
    constexpr int kThreads = 4, kTasks = 2000;
    int ran = 0;
    std::atomic<int> offThread{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            if (loop.isMainThread()) ++offThread;
            for (int i = 0; i < kTasks; ++i) {
                loop.dispatchAsync([&] {
                    if (!loop.isMainThread()) ++offThread;
                    if (++ran == kThreads * kTasks) loop.exit(0);
                });
            }
        });
    }
    EXPECT_TRUE(loop.isMainThread());
    EXPECT_EQ(loop.run(), 0);
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(ran, kThreads * kTasks);
    EXPECT_EQ(offThread.load(), 0);
}

struct RecordingDelegate final : ApplicationDelegate {
    std::function<void()> onLaunch, onTerminate;
    int launched = 0, terminated = 0;
    void applicationDidFinishLaunching() override {
        ++launched;
        if (onLaunch) onLaunch();
    }
    void applicationWillTerminate() override {
        ++terminated;
        if (onTerminate) onTerminate();
    }
};

// SIGTERM and SIGINT end a running agent through terminate: the delegate hears of it once
// and the process exits with 0. So does terminate during launch, however often asked.
TEST(LinuxApplication, TerminationSignalsAndTerminateEndTheRunOnce) {
    for (int signo : {SIGTERM, SIGINT}) {
        Pipe events;
        Child agent([&] {
            LinuxRunLoop loop;
            LinuxApplication app(loop);
            RecordingDelegate delegate;
            delegate.onLaunch = [&] { events.send("launched\n"); };
            delegate.onTerminate = [&] { events.send("will-terminate\n"); };
            int code = app.run(delegate);
            return delegate.terminated == 1 ? code : 10;
        });
        events.write.reset();
        ASSERT_EQ(events.receiveLine(), "launched");
        ASSERT_EQ(::kill(agent.pid(), signo), 0);
        EXPECT_EQ(events.receiveLine(), "will-terminate") << strsignal(signo);
        EXPECT_EQ(agent.wait(), 0) << strsignal(signo);
    }
    LinuxRunLoop loop;
    LinuxApplication app(loop);
    RecordingDelegate delegate;
    delegate.onLaunch = [&] {
        loop.dispatchAfter(0ms, [&] { app.terminate(nullptr); });
        app.terminate(&delegate);
    };
    EXPECT_EQ(app.run(delegate), 0);
    EXPECT_EQ(delegate.launched, 1);
    EXPECT_EQ(delegate.terminated, 1);
    EXPECT_EQ(app.bundleIdentifier(), "org.tarvolin.agent");
}

// Copies started together: exactly one holds the lock; it sees itself alone, every other
// copy sees two (itself and the holder, listed last) and so ends itself.
TEST(AgentInstanceLock, ExactlyOneOfManyCopiesStartedTogetherKeepsRunning) {
    test::TempDir tmp;
    constexpr int kCopies = 8;
    Pipe start, results, finish;
    std::vector<std::unique_ptr<Child>> copies;
    for (int i = 0; i < kCopies; ++i) {
        copies.push_back(std::make_unique<Child>([&] {
            start.write.reset();
            finish.write.reset();
            start.receiveLine();
            std::string error;
            auto lock = AgentInstanceLock::acquire(tmp.path(), error);
            const bool held = lock && lock->heldByUs();
            auto seen = lock ? lock->runningCopies("org.tarvolin.agent", "org.tarvolin.agent")
                             : std::vector<RunningApplication>{};
            // Other bundle ids are not the lock's business.
            const bool sane = lock && seen.size() == (held ? 1u : 2u) &&
                              lock->runningCopies("org.example.other", "org.tarvolin.agent").empty();
            // A line whatever happened, so the parent never waits forever.
            results.send(std::to_string(::getpid()) + (held ? " held " : " not ") +
                         (sane ? "sane " : "odd ") +
                         std::to_string(seen.empty() ? 0 : seen.back().processIdentifier) + "\n");
            finish.receiveLine();  // keep the lock until every copy has looked
            return 0;
        }));
    }
    results.write.reset();
    finish.read.reset();
    start.write.reset();  // go

    std::vector<long> holders, listedLast;
    for (int i = 0; i < kCopies; ++i) {
        std::string line = results.receiveLine();
        char held[8], sane[8];
        long pid = 0, last = 0;
        ASSERT_EQ(std::sscanf(line.c_str(), "%ld %7s %7s %ld", &pid, held, sane, &last), 4) << line;
        EXPECT_EQ(std::string(sane), "sane") << line;
        if (std::string(held) == "held") holders.push_back(pid);
        listedLast.push_back(last);
    }
    ASSERT_EQ(holders.size(), 1u);
    for (long last : listedLast) EXPECT_EQ(last, holders[0]) << "the last copy listed is the holder";
    finish.write.reset();
    for (auto& copy : copies) EXPECT_EQ(copy->wait(), 0);

    std::string error;
    auto lock = AgentInstanceLock::acquire(tmp.path(), error);
    ASSERT_TRUE(lock) << error;
    EXPECT_TRUE(lock->heldByUs()) << "once the holder has gone, a newcomer takes over";
}

}  // namespace
}  // namespace tarvolin
