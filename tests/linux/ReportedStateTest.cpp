// A compositor's windows as code of the agent's own inside it reports them: what each message does to the
// snapshot.
#include "platform/linux/compositor/ReportedState.h"

#include <gtest/gtest.h>

#include <map>

namespace tarvolin::compositor {
namespace {

std::string window(const std::string& id, const std::string& title = "T", const std::string& extra = "") {
    return R"({"id":")" + id + R"(","pid":42,"title":")" + title +
           R"(","app":"org.kde.notes","frame":{"x":10.4,"y":20.6,"w":300,"h":200},"minimised":false,)" +
           R"("desktop":"2","close":true,"move":true,"minimise":false)" + extra + "}";
}

std::vector<std::string> titles(ReportedState& s) {
    std::vector<std::string> out;
    for (const auto& w : s.snapshot().frontFirst)
        out.push_back(w.title.value_or("?") + (w.focused ? "*" : ""));
    return out;
}

void feed(ReportedState& s, const std::string& message) {
    std::string error;
    ASSERT_TRUE(s.apply(message, error)) << message << ": " << error;
}

TEST(ReportedState, WindowsComeFrontFirstAndFollowActivationAdditionAndRemoval) {
    ReportedState s;
    EXPECT_FALSE(s.seenHello());
    feed(
        s,
        R"({"hello":5,"windows":[)" + window("a", "A") + "," + window("b", "B") + "," + window("c", "C") +
            R"(],"active":"b","screens":[{"x":0,"y":0,"w":1280,"h":800},{"x":1280,"y":0,"w":800,"h":600}]})");
    EXPECT_TRUE(s.seenHello());
    EXPECT_EQ(titles(s), (std::vector<std::string>{"B*", "C", "A"}));
    const desktop::Snapshot& first = s.snapshot();
    ASSERT_EQ(first.monitors.size(), 2u);
    EXPECT_TRUE(first.monitors[0].primary);
    EXPECT_FALSE(first.monitors[1].primary);
    EXPECT_EQ(first.monitors[1].box, (desktop::Box{1280, 0, 800, 600}));
    const desktop::Window& b = first.frontFirst[0];
    EXPECT_EQ(b.frame, (desktop::Box{10, 21, 300, 200}));
    EXPECT_EQ(b.pid, 42);
    EXPECT_EQ(b.workspace, "2");
    EXPECT_TRUE(b.canClose && b.canMove && !b.canMinimise);

    // KWin activates a new Wayland window before it announces it.
    feed(s, R"({"active":"d"})");
    EXPECT_EQ(titles(s), (std::vector<std::string>{"B", "C", "A"}));
    feed(s, R"({"windows":[)" + window("d", "D") + "]}");
    EXPECT_EQ(titles(s), (std::vector<std::string>{"D*", "B", "C", "A"}));
    feed(s, R"({"windows":[)" + window("c", "C renamed") + R"(],"active":"a","gone":["d"]})");
    EXPECT_EQ(titles(s), (std::vector<std::string>{"A*", "B", "C renamed"}));

    // A script started again says everything anew.
    const std::uint64_t generation = s.snapshot().generation;
    feed(s, R"({"hello":6,"windows":[)" + window("e", "E") + R"(],"active":"","screens":[]})");
    EXPECT_EQ(titles(s), (std::vector<std::string>{"E"}));
    EXPECT_EQ(s.nativeId(windowNumber("a")), std::nullopt) << "no command reaches a window of the old list";
    EXPECT_GT(s.snapshot().generation, generation);
    EXPECT_EQ(s.version(), 6);
}

TEST(ReportedState, ANumberStaysWithItsWindowAndNeverPassesToAnother) {
    // Two UUIDs whose hashes collide, found by search: the later one must get a number of its own.
    std::map<std::int64_t, std::string> seen;
    std::string first, second;
    for (int i = 0; second.empty(); ++i) {
        const std::string id = "{uuid-" + std::to_string(i) + "}";
        auto [it, fresh] = seen.emplace(windowNumber(id), id);
        if (!fresh) first = it->second, second = id;
    }
    auto now = ReportedState::Clock::time_point{};
    ReportedState s([&] { return now; });
    feed(s, R"({"hello":5,"windows":[)" + window(first, "First") + "]}");
    const std::int64_t n = s.snapshot().frontFirst.at(0).id;
    EXPECT_EQ(n, windowNumber(first)) << "every program of the session numbers a window alike";
    EXPECT_GT(n, 0);
    EXPECT_LE(n, 0x7fffffff);
    EXPECT_EQ(s.nativeId(n), first);

    feed(s, R"({"gone":[")" + first + R"("]})");
    EXPECT_EQ(s.nativeId(n), std::nullopt) << "a late command finds no window";
    feed(s, R"({"windows":[)" + window(second, "Second") + "]}");
    const std::int64_t m = s.snapshot().frontFirst.at(0).id;
    EXPECT_NE(m, n);
    EXPECT_EQ(s.nativeId(m), second);
    EXPECT_EQ(s.nativeId(n), std::nullopt);

    // Gone windows are kept for a while, not for ever: under churn the table stays small, and a
    // number long free may serve again.
    feed(s, R"({"gone":[")" + second + R"("]})");
    for (int i = 0; i < 2000; ++i) {
        now += ReportedState::kKeepGone / 100;
        const std::string id = "{churn-" + std::to_string(i) + "}";
        feed(s, R"({"windows":[)" + window(id) + R"(],"gone":[")" + id + R"("]})");
    }
    EXPECT_LE(s.numbersHeld(), 101u);
    feed(s, R"({"windows":[)" + window(second, "Second again") + "]}");
    EXPECT_EQ(s.snapshot().frontFirst.at(0).id, n);
    // One back within the time keeps its number.
    feed(s, R"({"gone":[")" + second + R"("]})");
    now += ReportedState::kKeepGone / 2;
    feed(s, R"({"hello":5,"windows":[)" + window(second, "Back") + "]}");
    EXPECT_EQ(s.snapshot().frontFirst.at(0).id, n);
}

TEST(ReportedState, AMessageThatCannotBeReadChangesNothing) {
    ReportedState s;
    feed(s, R"({"hello":5,"windows":[)" + window("a", "A") + R"(],"active":"a"})");
    const std::uint64_t generation = s.snapshot().generation;
    for (const std::string& bad : std::vector<std::string>{
             "not json",
             "[1,2]",
             R"({"hello":0})",
             R"({"windows":{}})",
             R"({"windows":[{"pid":1}]})",
             R"({"windows":[)" + window("b", "B", R"(,"frame":{"x":"1","y":0,"w":1,"h":1})") + "]}",
             R"({"windows":[)" + window("b", "B") + "," +
                 window("c", "C", R"(,"frame":{"x":1e12,"y":0,"w":1,"h":1})") + "]}",
             R"({"windows":[)" + window("b", "B") + R"(],"gone":[7]})",
             R"({"gone":["a"],"active":false})",
             R"({"screens":[{"x":0,"y":0,"w":null,"h":1}]})",
         }) {
        std::string error;
        EXPECT_FALSE(s.apply(bad, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
        EXPECT_EQ(titles(s), (std::vector<std::string>{"A*"})) << bad;
        EXPECT_EQ(s.snapshot().generation, generation) << bad;
    }
    // A pid out of range is left unknown; the window stays.
    feed(s, R"({"windows":[)" + window("a", "A", R"(,"pid":4294967296)") + "]}");
    EXPECT_EQ(s.snapshot().frontFirst.at(0).pid, std::nullopt);
}

}  // namespace
}  // namespace tarvolin::compositor
