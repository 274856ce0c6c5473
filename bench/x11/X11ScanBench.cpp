// The window-list scan (copyWindowInfo) against `wmctrl -lpG`, on one Xvfb + openbox
// display, with 10, 100 and 500 windows. The X server and window manager run on one
// CPU and the measuring side (this program and the wmctrl it starts) on another, or
// all on the same CPU: the cost of a round trip differs several times between the two.
//
//   tarvolin_x11_bench --server-cpu 0 --client-cpu 0    # one core
//   tarvolin_x11_bench --server-cpu 0 --client-cpu 1    # across cores
//   (optional: --counts 10,100,500 --reps 40)
#include "XFixture.h"
#include "accessibility/UIElementUtilities.h"
#include "platform/LocalNotificationCenter.h"
#include "platform/linux/x11/X11Desktop.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
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

// Runs a command with stdout to /dev/null; its wall time, or a negative value on failure.
double timedRun(const std::vector<std::string>& argv, const std::string& display) {
    std::vector<std::string> args = argv;
    std::vector<char*> raw;
    for (auto& a : args) raw.push_back(a.data());
    raw.push_back(nullptr);
    auto start = Clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, STDOUT_FILENO);
        dup2(devnull, STDERR_FILENO);
        setenv("DISPLAY", display.c_str(), 1);
        execvp(raw[0], raw.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    auto elapsed = Clock::now() - start;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? ms(elapsed) : -1;
}

// What the agent asks when every window is new: the list, the applications, and for
// each ordinary window its element (through its application's AXWindows), the
// attribute snapshot and the children. Returns the windows that got an element.
size_t agentFirstScan(X11Desktop& d) {
    auto list = d.windows().copyWindowInfo(16, 0).value_or(std::vector<WindowDescription>{});
    auto apps = d.workspace().runningApplications();
    size_t found = 0;
    for (const WindowDescription& w : list) {
        auto number = w.number ? std::get_if<std::int64_t>(&*w.number) : nullptr;
        auto pid = w.ownerPid ? std::get_if<std::int64_t>(&*w.ownerPid) : nullptr;
        if (!number || !pid || !w.layer || std::get<std::int64_t>(*w.layer) != 0) continue;
        AXElement app = d.accessibility().createApplication(static_cast<std::int32_t>(*pid));
        auto windows = ax::copyAttributeValues(app, "AXWindows", 0, 1000);
        AXElement element;
        for (const Value& v : windows.value.value_or(Value::Array{})) {
            if (v.asElement() && ax::getWindow(*v.asElement()).value == static_cast<std::uint32_t>(*number)) {
                element = *v.asElement();
                break;
            }
        }
        auto snapshot = UIElementUtilities::attributeDictionaryOfUIElement(element);
        auto count = ax::getAttributeValueCount(element, "AXChildren");
        if (count.ok()) ax::copyAttributeValues(element, "AXChildren", 0, *count.value);
        if (element && !snapshot.empty()) ++found;
    }
    return found;
}

}  // namespace

int main(int argc, char** argv) {
    int serverCpu = 0, clientCpu = 0, reps = 40;
    std::vector<int> counts = {10, 100, 500};
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i];
        if (a == "--server-cpu") {
            serverCpu = std::atoi(argv[i + 1]);
        } else if (a == "--client-cpu") {
            clientCpu = std::atoi(argv[i + 1]);
        } else if (a == "--reps") {
            reps = std::max(3, std::atoi(argv[i + 1]));
        } else if (a == "--counts") {
            counts.clear();
            for (char* p = std::strtok(argv[i + 1], ","); p; p = std::strtok(nullptr, ","))
                counts.push_back(std::atoi(p));
        } else {
            std::fprintf(stderr, "unknown option %s\n", argv[i]);
            return 2;
        }
    }

    std::string error;
    auto session = testing::XSession::start(error);
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
    auto desktop = X11Desktop::connect(session->display().c_str(), center, error);
    if (!desktop) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }

    std::printf("placement: X server + openbox on CPU %d, scanner + wmctrl on CPU %d; %d repetitions\n",
                serverCpu, clientCpu, reps);
    std::printf("%8s %8s | %28s | %28s | %12s | %6s | %22s\n", "windows", "listed",
                "copyWindowInfo ms (med/p90)", "wmctrl -lpG ms (med/p90)", "wmctrl -m ms", "trips",
                "agent first scan ms/trips");
    std::deque<testing::TestClient> clients;
    int made = 0;
    for (int target : counts) {
        // Add windows in clients of at most 100 windows each until there are `target`.
        while (made < target) {
            int batch = std::min(100, target - made);
            std::vector<std::string> args;
            for (int k = 0; k < batch; ++k) {
                int n = made + k;
                args.insert(
                    args.end(),
                    {"--window", "--title", "bench window " + std::to_string(n), "--geometry",
                     "120x80+" + std::to_string((n * 37) % 1100) + "+" + std::to_string((n * 53) % 900)});
            }
            auto c = session->startClient(args, error);
            if (!c) {
                std::fprintf(stderr, "%s\n", error.c_str());
                return 1;
            }
            clients.push_back(std::move(*c));
            made += batch;
        }
        size_t listed = 0;
        for (int k = 0; k < 3; ++k)
            listed =
                desktop->windows().copyWindowInfo(16, 0).value_or(std::vector<WindowDescription>{}).size();

        std::vector<double> ours, theirs, baseline;
        std::uint64_t trips = 0;
        for (int r = 0; r < reps; ++r) {
            std::uint64_t before = desktop->roundTrips();
            auto start = Clock::now();
            auto list = desktop->windows().copyWindowInfo(16, 0);
            ours.push_back(ms(Clock::now() - start));
            trips = desktop->roundTrips() - before;
            if (!list || list->size() != listed) {
                std::fprintf(stderr, "the window list changed during the run\n");
                return 1;
            }
            double t = timedRun({"wmctrl", "-lpG"}, session->display());
            double b = timedRun({"wmctrl", "-m"}, session->display());
            if (t < 0 || b < 0) {
                std::fprintf(stderr, "wmctrl failed\n");
                return 1;
            }
            theirs.push_back(t);
            baseline.push_back(b);
        }
        Stats o = stats(ours), w = stats(theirs), m = stats(baseline);
        std::uint64_t agentBefore = desktop->roundTrips();
        auto agentStart = Clock::now();
        size_t found = agentFirstScan(*desktop);
        double agentMs = ms(Clock::now() - agentStart);
        if (found != listed) {
            std::fprintf(stderr, "the agent-style scan found %zu of %zu windows\n", found, listed);
            return 1;
        }
        std::printf("%8d %8zu | %13.3f / %-12.3f | %13.3f / %-12.3f | %12.3f | %6llu | %10.1f / %-9llu\n",
                    target, listed, o.median, o.p90, w.median, w.p90, m.median,
                    static_cast<unsigned long long>(trips), agentMs,
                    static_cast<unsigned long long>(desktop->roundTrips() - agentBefore));
        std::fflush(stdout);
    }
    if (desktop->unexpectedErrors()) {
        std::fprintf(stderr, "unexpected X errors: %s\n", desktop->lastUnexpectedError().c_str());
        return 1;
    }
    for (auto it = clients.rbegin(); it != clients.rend(); ++it)
        session->stopClient(*it, std::chrono::seconds(30));
    return 0;
}
