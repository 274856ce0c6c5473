#pragma once

// The agent's scans and raise on a compositor it reaches through code of its own inside it (a
// KWin script, a GNOME Shell extension), at each window count, beside what a program without
// the agent pays for the same list and activation, in the same run:
//
//   BENCH [--counts 10,100] [--reps 20]
//
// The compositor and the measuring side share the machine unpinned; the load average is printed.
#include "bench/BenchCommon.h"
#include "tools/headless/Process.h"

#include <poll.h>

#include <fstream>
#include <memory>

namespace tarvolin::bench {

struct CompositorRun {
    std::vector<std::string> clientEnvironment;
    std::function<size_t()> windowsShown;  // what the compositor itself counts
    std::function<std::unique_ptr<DesktopBackend>(std::string& error)> connect;
    // Each timed once per repetition, after the agent's raise: what a program without the agent
    // pays. The last changes the desktop (activates another window, counted from the repetition)
    // for the "after a change" column. False, with a message printed, on a failure.
    std::vector<std::pair<std::string, std::function<bool(int rep)>>> beside;
};

namespace detail {

inline double ms(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

inline double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// One element per window, found through its application, as the agent's raise finds it.
inline AXElement elementOf(DesktopBackend& d, const WindowDescription& w) {
    auto app =
        d.accessibility().createApplication(static_cast<std::int32_t>(std::get<std::int64_t>(*w.ownerPid)));
    for (const Value& v : ax::copyAttributeValues(app, "AXWindows", 0, 1000).value.value_or(Value::Array{}))
        if (v.asElement() && WindowNumberValue(ax::getWindow(*v.asElement()).value.value_or(0)) == w.number)
            return *v.asElement();
    return {};
}

}  // namespace detail

inline int runCompositorBench(int argc, char** argv, const CompositorRun& run) {
    using namespace std::chrono_literals;
    using Clock = std::chrono::steady_clock;
    using detail::median;
    using detail::ms;
    int reps = 20;
    std::vector<int> counts = {10, 100};
    if (!readCountsAndReps(argc, argv, counts, reps)) return 2;

    std::printf("%7s | %-10s | %-13s | %-17s | %-17s | %-16s", "windows", "connect ms", "first scan ms",
                "rescan ms (trips)", "after a change ms", "raise ms (trips)");
    for (const auto& [name, _] : run.beside) std::printf(" | %s ms", name.c_str());
    std::printf("\n");
    std::vector<std::unique_ptr<headless::Process>> clients;
    int made = 0;
    for (int target : counts) {
        while (made < target) {
            const int batch = std::min(50, target - made);
            std::vector<std::string> args{TARVOLIN_SAMPLE_WAYLAND};
            for (int i = made; i < made + batch; ++i)
                args.insert(args.end(),
                            {"--view", "bench" + std::to_string(i % 7), "view " + std::to_string(i)});
            clients.push_back(headless::Process::spawn(args, {run.clientEnvironment, false, true}));
            if (clients.back()->readLine(30s) != "ready") {
                std::fprintf(stderr, "a sample client did not start\n");
                return 1;
            }
            made += batch;
        }
        for (int k = 0; k < 1000 && run.windowsShown() != size_t(made); ++k) usleep(10000);

        std::string error;
        auto start = Clock::now();
        auto desktop = run.connect(error);
        const double connectMs = ms(Clock::now() - start);
        if (!desktop) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
        TurnEnds turns(*desktop);
        start = Clock::now();
        const size_t found = agentFirstScan(*desktop);
        const double firstMs = ms(Clock::now() - start);
        if (found != size_t(made)) {
            std::fprintf(stderr, "the agent-style scan found %zu of %d windows\n", found, made);
            return 1;
        }
        turns.end();
        auto list = desktop->windows().copyWindowInfo(16, 0).value_or(std::vector<WindowDescription>{});

        std::vector<double> rescan, changed, raise;
        std::vector<std::vector<double>> beside(run.beside.size());
        std::uint64_t trips = 0, raiseTrips = 0;
        for (int r = 0; r < reps; ++r) {
            // The agent's rescan of an unchanged desktop (the one before took every change in).
            turns.end();
            desktop->windows().copyWindowInfo(16, 0);
            turns.end();
            auto before = desktop->roundTrips();
            start = Clock::now();
            desktop->windows().copyWindowInfo(16, 0);
            rescan.push_back(ms(Clock::now() - start));
            trips = std::max(trips, desktop->roundTrips() - before);

            // From the command to the compositor's report of the window active (sent before its answer).
            turns.end();
            AXElement element = detail::elementOf(*desktop, list[size_t(r) % list.size()]);
            before = desktop->roundTrips();
            start = Clock::now();
            if (ax::performAction(element, "AXRaise") != AXError::success) {
                std::fprintf(stderr, "raise failed\n");
                return 1;
            }
            raise.push_back(ms(Clock::now() - start));
            raiseTrips = desktop->roundTrips() - before;

            for (size_t i = 0; i < run.beside.size(); ++i) {
                start = Clock::now();
                if (!run.beside[i].second(r)) return 1;
                beside[i].push_back(ms(Clock::now() - start));
            }

            // The rescan after a change made by someone else, once its news is in.
            pollfd news{desktop->fd(), POLLIN, 0};
            ::poll(&news, 1, 1000);
            turns.end();
            before = desktop->roundTrips();
            start = Clock::now();
            desktop->windows().copyWindowInfo(16, 0);
            changed.push_back(ms(Clock::now() - start));
            trips = std::max(trips, desktop->roundTrips() - before);
        }
        char a[32], b[32];
        std::snprintf(a, sizeof a, "%.3f (%llu)", median(rescan), static_cast<unsigned long long>(trips));
        std::snprintf(b, sizeof b, "%.3f (%llu)", median(raise), static_cast<unsigned long long>(raiseTrips));
        std::printf("%7d | %-10.1f | %-13.1f | %-17s | %-17.3f | %-16s", made, connectMs, firstMs, a,
                    median(changed), b);
        for (size_t i = 0; i < beside.size(); ++i)
            std::printf(" | %*.3f", static_cast<int>(run.beside[i].first.size() + 3), median(beside[i]));
        std::printf("\n");
        std::fflush(stdout);
    }
    std::ifstream load("/proc/loadavg");
    std::string loadavg;
    std::getline(load, loadavg);
    std::printf("load average: %s; medians of %d repetitions\n", loadavg.c_str(), reps);
    return 0;
}

}  // namespace tarvolin::bench
