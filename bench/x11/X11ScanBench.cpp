// The agent's scan against `wmctrl -lpG`, on one Xvfb + openbox display, with 10 to 1,000
// windows in clients of 100. The X server and window manager run on one CPU and the
// measuring side (this program and the wmctrl it starts) on another, or all on the same
// CPU: the cost of a round trip differs several times between the two.
//   first scan  a new connection's first command: the window list, the applications, and
//               for every window its element, attribute snapshot and children
//   rescan      the next command on an unchanged desktop: window list and applications
// Each command is one turn of a run loop, as in the agent: one sync serves all of it.
// Requests and round trips are counted by the connection itself.
//
//   tarvolin_x11_bench --server-cpu 0 --client-cpu 0    # one core
//   tarvolin_x11_bench --server-cpu 0 --client-cpu 1    # across cores
//   (optional: --counts 10,100,500,1000 --reps 40)
#include "bench/BenchCommon.h"
#include "platform/LocalNotificationCenter.h"
#include "platform/linux/x11/X11Desktop.h"
#include "tools/headless/SampleClient.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using namespace tarvolin;
using Clock = std::chrono::steady_clock;

namespace {

bool pin(pid_t pid, int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return sched_setaffinity(pid, sizeof set, &set) == 0;
}

// A whole non-negative number below 100000, nothing else.
std::optional<int> parseNumber(std::string_view text) {
    int v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || v < 0 || v >= 100000) return std::nullopt;
    return v;
}

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Stats {
    double median, p90, mean;
};

Stats stats(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    double sum = 0;
    for (double x : v) sum += x;
    return {v[v.size() / 2], v[std::min(v.size() - 1, v.size() * 9 / 10)],
            sum / static_cast<double>(v.size())};
}

}  // namespace

int main(int argc, char** argv) {
    int serverCpu = 0, clientCpu = 0, reps = 40;
    std::vector<int> counts = {10, 100, 500, 1000};
    const char* usage =
        "usage: tarvolin_x11_bench [--server-cpu N] [--client-cpu N] [--counts N,..] [--reps N]\n";
    for (int i = 1; i < argc; i += 2) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(usage, stdout);
            return 0;
        }
        // A bad value is an error, not a zero: it would pick a CPU or a window count unasked.
        std::optional<int> value;
        if (i + 1 < argc) value = parseNumber(argv[i + 1]);
        if (a == "--counts" && i + 1 < argc) {
            counts.clear();
            for (char* p = std::strtok(argv[i + 1], ","); p; p = std::strtok(nullptr, ",")) {
                auto n = parseNumber(p);
                if (!n || *n < 1) {
                    std::fprintf(stderr, "--counts: not a window count: \"%s\"\n", p);
                    return 2;
                }
                counts.push_back(*n);
            }
            if (!counts.empty()) continue;
            value.reset();
        }
        if (!value) {
            std::fprintf(stderr, "%s: missing or bad value\n%s", argv[i], usage);
            return 2;
        }
        if (a == "--server-cpu") {
            serverCpu = *value;
        } else if (a == "--client-cpu") {
            clientCpu = *value;
        } else if (a == "--reps") {
            reps = std::max(3, *value);
        } else if (a != "--counts") {
            std::fprintf(stderr, "unknown option %s\n%s", argv[i], usage);
            return 2;
        }
    }

    std::string error;
    headless::XvfbDesktop::Options options;
    options.sessionBus = false;
    auto session = headless::XvfbDesktop::start(options, error);
    if (!session) {
        std::fprintf(stderr, "cannot start the X session: %s\n", error.c_str());
        return 1;
    }
    if (!pin(session->serverPid(), serverCpu) || !pin(session->windowManagerPid(), serverCpu) ||
        !pin(0, clientCpu)) {
        std::fprintf(stderr, "cannot pin to CPUs %d/%d\n", serverCpu, clientCpu);
        return 1;
    }
    LocalNotificationCenter center;
    // The end of a command: what the run loop would do once the command's turn is over.
    std::vector<std::function<void()>> turnEnd;
    auto connect = [&] {
        auto d = X11Desktop::connect(session->display().c_str(), center, error);
        if (d) d->endTurnsWith([&](std::function<void()> task) { turnEnd.push_back(std::move(task)); });
        return d;
    };
    auto endTurn = [&] {
        for (auto& task : turnEnd) task();
        turnEnd.clear();
    };
    auto desktop = connect();
    if (!desktop) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }

    double load[3] = {0, 0, 0};
    getloadavg(load, 3);
    std::printf(
        "placement: X server + openbox on CPU %d, scanner + wmctrl on CPU %d; %d repetitions; "
        "load average %.2f %.2f %.2f\n",
        serverCpu, clientCpu, reps, load[0], load[1], load[2]);
    std::printf("%7s %6s | %9s | %-30s | %-30s | %7s %7s\n", "windows", "listed", "wmctrl ms",
                "first scan ms / trips / reqs", "rescan ms / trips / reqs", "wm/1st", "wm/re");
    std::deque<headless::SampleClient> clients;
    int made = 0;
    for (int target : counts) {
        // Add windows in clients of at most 100 windows each until there are `target`.
        while (made < target) {
            int batch = std::min(100, target - made);
            std::vector<std::vector<std::string>> windows;
            for (int k = 0; k < batch; ++k) {
                int n = made + k;
                windows.push_back(
                    {"--title", "bench window " + std::to_string(n), "--geometry",
                     "120x80+" + std::to_string((n * 37) % 1100) + "+" + std::to_string((n * 53) % 900)});
            }
            auto c = headless::startSampleClient(*session, TARVOLIN_SAMPLE_WINDOWS, windows, error);
            if (!c) {
                std::fprintf(stderr, "%s\n", error.c_str());
                return 1;
            }
            clients.push_back(std::move(*c));
            made += batch;
        }
        size_t listed = 0;
        for (int k = 0; k < 3; ++k) {
            listed =
                desktop->windows().copyWindowInfo(16, 0).value_or(std::vector<WindowDescription>{}).size();
            endTurn();
        }

        std::vector<double> wmctrl, first, again;
        std::uint64_t firstTrips = 0, firstRequests = 0, trips = 0, requests = 0;
        for (int r = 0; r < reps; ++r) {
            double t = bench::timedRun({"wmctrl", "-lpG"}, {"DISPLAY=" + session->display()});
            if (t < 0) {
                std::fprintf(stderr, "wmctrl failed\n");
                return 1;
            }
            wmctrl.push_back(t);

            std::uint64_t trips0 = desktop->roundTrips(), requests0 = desktop->requests();
            auto start = Clock::now();
            auto list = desktop->windows().copyWindowInfo(16, 0);
            desktop->workspace().runningApplications();
            again.push_back(ms(Clock::now() - start));
            endTurn();
            trips = desktop->roundTrips() - trips0;
            requests = desktop->requests() - requests0;
            if (!list || list->size() != listed) {
                std::fprintf(stderr, "the window list changed during the run\n");
                return 1;
            }

            if (r >= std::max(3, reps / 4)) continue;  // fewer first scans: each needs a new connection
            auto fresh = connect();
            if (!fresh) {
                std::fprintf(stderr, "%s\n", error.c_str());
                return 1;
            }
            trips0 = fresh->roundTrips(), requests0 = fresh->requests();
            start = Clock::now();
            size_t found = bench::agentFirstScan(*fresh);
            first.push_back(ms(Clock::now() - start));
            endTurn();
            firstTrips = fresh->roundTrips() - trips0;
            firstRequests = fresh->requests() - requests0;
            if (found != listed) {
                std::fprintf(stderr, "the agent-style scan found %zu of %zu windows\n", found, listed);
                return 1;
            }
        }
        Stats w = stats(wmctrl), f = stats(first), a = stats(again);
        std::printf("%7d %6zu | %9.3f | %9.3f / %5llu / %-8llu | %9.3f / %5llu / %-8llu | %7.1f %7.1f\n",
                    target, listed, w.median, f.median, static_cast<unsigned long long>(firstTrips),
                    static_cast<unsigned long long>(firstRequests), a.median,
                    static_cast<unsigned long long>(trips), static_cast<unsigned long long>(requests),
                    w.median / f.median, w.median / a.median);
        std::fflush(stdout);
    }
    if (desktop->unexpectedErrors()) {
        std::fprintf(stderr, "unexpected X errors: %s\n", desktop->lastUnexpectedError().c_str());
        return 1;
    }
    for (auto it = clients.rbegin(); it != clients.rend(); ++it)
        headless::stopSampleClient(*session, *it, std::chrono::seconds(30));
    return 0;
}
