// The agent's rescan and raise on a headless sway with 10, 100 and 500 views, beside
// `swaymsg -t get_tree` and `swaymsg '[con_id=N] focus'` in the same run.
//
//   tarvolin_sway_bench [--counts 10,100,500] [--reps 30]
//
// sway and the measuring side share the machine unpinned; the load average is printed.
#include "bench/BenchCommon.h"
#include "platform/LocalNotificationCenter.h"
#include "platform/linux/sway/SwayDesktop.h"
#include "tools/headless/HeadlessSway.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

using namespace tarvolin;
using Clock = std::chrono::steady_clock;

namespace {

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// A sample-wayland client with `count` views, started and left running; its pid once ready.
pid_t startViews(int first, int count, const std::vector<std::string>& env) {
    int out[2];
    if (pipe(out) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
        std::vector<std::string> args{TARVOLIN_SAMPLE_WAYLAND};
        for (int i = first; i < first + count; ++i)
            args.insert(args.end(), {"--view", "bench" + std::to_string(i % 7), "view " + std::to_string(i)});
        std::vector<char*> raw;
        for (auto& a : args) raw.push_back(a.data());
        raw.push_back(nullptr);
        execv(raw[0], raw.data());
        _exit(127);
    }
    close(out[1]);
    char line[16] = {};
    ssize_t n = read(out[0], line, sizeof line - 1);
    close(out[0]);
    return n > 0 && std::strncmp(line, "ready", 5) == 0 ? pid : -1;
}

}  // namespace

int main(int argc, char** argv) {
    int reps = 30;
    std::vector<int> counts = {10, 100, 500};
    if (!bench::readCountsAndReps(argc, argv, counts, reps)) return 2;
    std::string error;
    auto session = headless::HeadlessSway::start(error);
    if (!session) {
        std::fprintf(stderr, "cannot start sway: %s\n", error.c_str());
        return 1;
    }
    const std::vector<std::string> env = session->clientEnvironment();
    LocalNotificationCenter center;
    auto desktop = SwayDesktop::connect(session->ipcSocket(), center, error);
    if (!desktop) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    // The end of a command: what the run loop would do once the command's turn is over.
    bench::TurnEnds turns(*desktop);
    auto endTurn = [&] { turns.end(); };
    std::printf("%6s | %-20s | %-20s | %-17s | %-20s | %-20s | %s\n", "views", "rescan ms (trips)",
                "after a raise ms", "get_tree in-proc", "swaymsg get_tree ms", "raise ms / swaymsg",
                "first scan ms");
    std::vector<pid_t> clients;
    int made = 0;
    for (int target : counts) {
        while (made < target) {
            int batch = std::min(100, target - made);
            pid_t pid = startViews(made, batch, env);
            if (pid < 0) {
                std::fprintf(stderr, "a sample client did not start\n");
                return 1;
            }
            clients.push_back(pid);
            made += batch;
        }
        for (int k = 0; k < 500 && session->views().size() != size_t(made); ++k) usleep(10000);
        endTurn();
        auto list = desktop->windows().copyWindowInfo(16, 0).value_or(std::vector<WindowDescription>{});
        if (list.size() != size_t(made)) {
            std::fprintf(stderr, "listed %zu of %d views\n", list.size(), made);
            return 1;
        }
        std::vector<std::int64_t> ids;
        for (const auto& w : list) ids.push_back(std::get<std::int64_t>(*w.number));

        std::vector<double> rescan, changed, inproc, tool, raise, toolRaise;
        std::uint64_t trips = 0, changedTrips = 0;
        for (int r = 0; r < reps; ++r) {
            // The agent's rescan of an unchanged desktop (the one before took every change in).
            endTurn();
            desktop->windows().copyWindowInfo(16, 0);
            endTurn();
            auto before = desktop->roundTrips();
            auto start = Clock::now();
            desktop->windows().copyWindowInfo(16, 0);
            rescan.push_back(ms(Clock::now() - start));
            trips = desktop->roundTrips() - before;

            // A raise through the agent's element: until sway has focused the view and answered.
            endTurn();
            const size_t i = size_t(r) % ids.size();
            AXElement element;
            auto app = desktop->accessibility().createApplication(
                static_cast<std::int32_t>(std::get<std::int64_t>(*list[i].ownerPid)));
            for (const Value& v :
                 ax::copyAttributeValues(app, "AXWindows", 0, 1000).value.value_or(Value::Array{}))
                if (v.asElement() && ax::getWindow(*v.asElement()).value == std::uint32_t(ids[i]))
                    element = *v.asElement();
            start = Clock::now();
            if (ax::performAction(element, "AXRaise") != AXError::success) {
                std::fprintf(stderr, "raise failed\n");
                return 1;
            }
            raise.push_back(ms(Clock::now() - start));
            // The rescan after that change: the events of the raise, applied.
            endTurn();
            before = desktop->roundTrips();
            start = Clock::now();
            desktop->windows().copyWindowInfo(16, 0);
            changed.push_back(ms(Clock::now() - start));
            changedTrips = desktop->roundTrips() - before;

            start = Clock::now();
            session->ipc().request(sway::MessageType::getTree);
            inproc.push_back(ms(Clock::now() - start));
            tool.push_back(bench::timedRun({"swaymsg", "-t", "get_tree"}, env));
            toolRaise.push_back(bench::timedRun(
                {"swaymsg", "[con_id=" + std::to_string(ids[(i + 1) % ids.size()]) + "] focus"}, env));
        }
        endTurn();
        auto first = Clock::now();
        size_t found = bench::agentFirstScan(*desktop);
        double firstMs = ms(Clock::now() - first);
        if (found != size_t(made)) {
            std::fprintf(stderr, "the agent-style scan found %zu of %d views\n", found, made);
            return 1;
        }
        char a[32], b[32], c[32];
        std::snprintf(a, sizeof a, "%.3f (%llu)", median(rescan), static_cast<unsigned long long>(trips));
        std::snprintf(c, sizeof c, "%.3f (%llu)", median(changed),
                      static_cast<unsigned long long>(changedTrips));
        std::snprintf(b, sizeof b, "%.3f / %.3f", median(raise), median(toolRaise));
        std::printf("%6d | %-20s | %-20s | %-17.3f | %-20.3f | %-20s | %.1f\n", made, a, c, median(inproc),
                    median(tool), b, firstMs);
        std::fflush(stdout);
    }
    std::ifstream load("/proc/loadavg");
    std::string loadavg;
    std::getline(load, loadavg);
    std::printf("load average: %s; medians of %d repetitions\n", loadavg.c_str(), reps);
    for (pid_t pid : clients) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    return 0;
}
