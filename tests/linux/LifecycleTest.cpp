#include "LinuxTestSupport.h"
#include "platform/linux/AgentInstanceLock.h"

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
    loop.dispatchAsync([] { throw std::runtime_error("a throwing task does not stop the loop"); });
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

// Copies started together: exactly one holds the lock and sees itself alone; every other
// copy sees itself and then the holder, and so ends itself.
TEST(AgentInstanceLock, ExactlyOneOfManyCopiesStartedTogetherKeepsRunning) {
    test::TempDir tmp;
    constexpr int kCopies = 8;
    Pipe start, looked, finish;
    std::vector<std::unique_ptr<Child>> copies;
    for (int i = 0; i < kCopies; ++i) {
        copies.push_back(std::make_unique<Child>([&] {
            start.write.reset();
            finish.write.reset();
            start.receiveLine();
            std::string error;
            auto lock = AgentInstanceLock::acquire(tmp.path(), error);
            auto seen = lock ? lock->runningCopies("org.tarvolin.agent", "org.tarvolin.agent")
                             : std::vector<RunningApplication>{};
            const bool held = lock && lock->heldByUs(),
                       self = !seen.empty() && seen[0].processIdentifier == getpid();
            // Other bundle ids are not the lock's business.
            const bool sane = self && seen.size() == (held ? 1u : 2u) &&
                              (held || seen[1].processIdentifier != getpid()) &&
                              lock->runningCopies("org.example.other", "org.tarvolin.agent").empty();
            looked.send("\n");
            finish.receiveLine();  // keep the lock until every copy has looked
            return sane ? (held ? 10 : 20) : 1;
        }));
    }
    looked.write.reset();
    finish.read.reset();
    start.write.reset();  // go
    for (int i = 0; i < kCopies; ++i) looked.receiveLine();
    finish.write.reset();
    std::multiset<int> codes;
    for (auto& copy : copies) codes.insert(copy->wait());
    EXPECT_EQ(codes.count(10), 1u) << "one holder";
    EXPECT_EQ(codes.count(20), kCopies - 1u) << "the others see it";

    std::string error;
    auto lock = AgentInstanceLock::acquire(tmp.path(), error);
    ASSERT_TRUE(lock) << error;
    EXPECT_TRUE(lock->heldByUs()) << "once the holder has gone, a newcomer takes over";
}

}  // namespace
}  // namespace tarvolin
