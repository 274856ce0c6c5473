#include "LinuxTestSupport.h"

#include <set>
#include <thread>

namespace tarvolin {
namespace {

TEST(LinuxRunLoop, DelayedTasksRunInDueOrderWithTiesInOrderAddedAndSurviveThrows) {
    LinuxRunLoop loop;
    std::vector<std::string> order;
    auto add = [&](Duration delay, std::string name) {
        loop.dispatchAfter(delay, [&, name] { order.push_back(name); });
    };
    const Duration start = loop.now();
    add(10ms, "tie-1");
    add(-5ms, "negative delay");
    bool asyncRan = false;
    loop.dispatchAsync([&] {
        asyncRan = true;
        throw std::runtime_error("a throwing task does not stop the loop");
    });
    add(10ms, "tie-2");
    loop.dispatchAfter(10ms, [&] {
        order.push_back("tie-3");
        add(0ms, "nested");  // added while running: waits for a later pass
    });
    Duration lateAt{};
    loop.dispatchAfter(30ms, [&] {
        lateAt = loop.now();
        order.push_back("late");
        loop.dispatchAfter(0ms, [&] { loop.exit(3); });
    });
    EXPECT_EQ(loop.run(), 3);
    EXPECT_TRUE(asyncRan);
    ASSERT_EQ(order.size(), 6u);
    EXPECT_EQ(std::vector(order.begin(), order.begin() + 4),
              (std::vector<std::string>{"negative delay", "tie-1", "tie-2", "tie-3"}));
    // Under load "late" can fall due in tie-3's pass, and so run before "nested".
    EXPECT_EQ(std::set(order.begin() + 4, order.end()), (std::set<std::string>{"nested", "late"}));
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
    // Lower bounds only, which load cannot break: a late firing does not move the grid, and
    // made-up firings would come in a burst right after the block.
    EXPECT_GE(firings[0] - added, Duration(20ms));
    EXPECT_GE(firings[1] - added, Duration(40ms));
    EXPECT_GE(firings[2] - firings[1], Duration(70ms));
    EXPECT_GE(firings[3] - firings[1], Duration(90ms)) << "the missed firings were made up";
}

// Without a handler a termination signal ends the loop; a handler given later takes over.
TEST(LinuxRunLoop, TerminationSignalsEndTheLoopOrGoToTheHandler) {
    LinuxRunLoop loop;
    loop.handleTerminationSignals({});
    ::kill(::getpid(), SIGINT);
    EXPECT_EQ(loop.run(), 128 + SIGINT);
    loop.handleTerminationSignals([&](int signo) { loop.exit(signo); });
    ::kill(::getpid(), SIGTERM);
    EXPECT_EQ(loop.run(), SIGTERM);
}

}  // namespace
}  // namespace tarvolin
