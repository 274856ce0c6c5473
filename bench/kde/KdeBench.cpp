// The agent's scans and raise on a headless KWin with 10 and 100 windows, beside what a script
// without an agent pays: a one-shot script loaded through org.kde.kwin.Scripting (load, run,
// report, unload) for the same list and the same activation, in the same run.
//
//   tarvolin_kde_bench [--counts 10,100] [--reps 20]
//
// KWin and the measuring side share the machine unpinned; the load average is printed.
#include "bench/BenchCommon.h"
#include "platform/LocalNotificationCenter.h"
#include "platform/linux/kde/KWinDesktop.h"
#include "tools/headless/HeadlessKWin.h"
#include "tools/headless/Process.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

using namespace tarvolin;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// One element per window, found through its application, as the agent's raise finds it.
AXElement elementOf(DesktopBackend& d, const WindowDescription& w) {
    auto app =
        d.accessibility().createApplication(static_cast<std::int32_t>(std::get<std::int64_t>(*w.ownerPid)));
    for (const Value& v : ax::copyAttributeValues(app, "AXWindows", 0, 1000).value.value_or(Value::Array{}))
        if (v.asElement() && WindowNumberValue(ax::getWindow(*v.asElement()).value.value_or(0)) == w.number)
            return *v.asElement();
    return {};
}

}  // namespace

int main(int argc, char** argv) {
    int reps = 20;
    std::vector<int> counts = {10, 100};
    if (!bench::readCountsAndReps(argc, argv, counts, reps)) return 2;
    std::string error;
    auto kwin = headless::HeadlessKWin::start(error, {.xwayland = false});
    if (!kwin) {
        std::fprintf(stderr, "cannot start KWin: %s\n", error.c_str());
        return 1;
    }
    // KWin runs as another user when this runs as root: it must be able to read the script.
    char pattern[] = "/tmp/tarvolin-kde-bench-XXXXXX";
    const std::string runtime = ::mkdtemp(pattern);
    ::chmod(runtime.c_str(), 0755);
    ::mkdir((runtime + "/tarvolin-kwin").c_str(), 0755);
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", kwin->busAddress().c_str(), 1);
    const std::vector<std::string> env = kwin->clientEnvironment();

    std::printf("%7s | %-15s | %-13s | %-17s | %-17s | %-16s | %-17s | %s\n", "windows", "connect ms",
                "first scan ms", "rescan ms (trips)", "after a change ms", "raise ms (trips)",
                "one-shot list ms", "one-shot activate ms");
    std::vector<std::unique_ptr<headless::Process>> clients;
    int made = 0;
    for (int target : counts) {
        while (made < target) {
            const int batch = std::min(50, target - made);
            std::vector<std::string> args{TARVOLIN_SAMPLE_WAYLAND};
            for (int i = made; i < made + batch; ++i)
                args.insert(args.end(),
                            {"--view", "bench" + std::to_string(i % 7), "view " + std::to_string(i)});
            clients.push_back(headless::Process::spawn(args, {env, false, true}));
            if (clients.back()->readLine(30s) != "ready") {
                std::fprintf(stderr, "a sample client did not start\n");
                return 1;
            }
            made += batch;
        }
        for (int k = 0; k < 1000 && kwin->windows().size() != size_t(made); ++k) usleep(10000);

        LocalNotificationCenter center;
        auto start = Clock::now();
        auto desktop = KWinDesktop::connect(KWinDesktop::Role::observer, center, error);
        const double connectMs = ms(Clock::now() - start);
        if (!desktop) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
        bench::TurnEnds turns(*desktop);
        auto endTurn = [&] { turns.end(); };
        start = Clock::now();
        const size_t found = bench::agentFirstScan(*desktop);
        const double firstMs = ms(Clock::now() - start);
        if (found != size_t(made)) {
            std::fprintf(stderr, "the agent-style scan found %zu of %d windows\n", found, made);
            return 1;
        }
        endTurn();
        auto list = desktop->windows().copyWindowInfo(16, 0).value_or(std::vector<WindowDescription>{});

        std::vector<double> rescan, changed, raise, oneShotList, oneShotActivate;
        std::uint64_t trips = 0, raiseTrips = 0;
        for (int r = 0; r < reps; ++r) {
            // The agent's rescan of an unchanged desktop (the one before took every change in).
            endTurn();
            desktop->windows().copyWindowInfo(16, 0);
            endTurn();
            auto before = desktop->roundTrips();
            start = Clock::now();
            desktop->windows().copyWindowInfo(16, 0);
            rescan.push_back(ms(Clock::now() - start));
            trips = std::max(trips, desktop->roundTrips() - before);

            // From the command to KWin's report of the window active (the script answers after it).
            endTurn();
            AXElement element = elementOf(*desktop, list[size_t(r) % list.size()]);
            before = desktop->roundTrips();
            start = Clock::now();
            if (ax::performAction(element, "AXRaise") != AXError::success) {
                std::fprintf(stderr, "raise failed\n");
                return 1;
            }
            raise.push_back(ms(Clock::now() - start));
            raiseTrips = desktop->roundTrips() - before;

            start = Clock::now();
            const nlohmann::json all = kwin->runScript(
                "return workspace.clientList().map(c => ({id: String(c.internalId), pid: c.pid, title: "
                "c.caption,"
                " app: c.desktopFileName, g: c.frameGeometry, min: c.minimized, desktop: c.desktop}));");
            oneShotList.push_back(ms(Clock::now() - start));
            if (!all.is_array() || all.size() != size_t(made)) {
                std::fprintf(stderr, "the one-shot list: %s\n", kwin->lastError().c_str());
                return 1;
            }
            const std::string other = all[size_t(r + 1) % all.size()]["id"];
            start = Clock::now();
            if (!kwin->activate(other)) {
                std::fprintf(stderr, "the one-shot activation: %s\n", kwin->lastError().c_str());
                return 1;
            }
            oneShotActivate.push_back(ms(Clock::now() - start));

            // The rescan after a change made by someone else (that activation), once its news is in.
            pollfd news{desktop->fd(), POLLIN, 0};
            ::poll(&news, 1, 1000);
            endTurn();
            before = desktop->roundTrips();
            start = Clock::now();
            desktop->windows().copyWindowInfo(16, 0);
            changed.push_back(ms(Clock::now() - start));
            trips = std::max(trips, desktop->roundTrips() - before);
        }
        char a[32], b[32];
        std::snprintf(a, sizeof a, "%.3f (%llu)", median(rescan), static_cast<unsigned long long>(trips));
        std::snprintf(b, sizeof b, "%.3f (%llu)", median(raise), static_cast<unsigned long long>(raiseTrips));
        std::printf("%7d | %-15.1f | %-13.1f | %-17s | %-17.3f | %-16s | %-17.3f | %.3f\n", made, connectMs,
                    firstMs, a, median(changed), b, median(oneShotList), median(oneShotActivate));
        std::fflush(stdout);
    }
    std::ifstream load("/proc/loadavg");
    std::string loadavg;
    std::getline(load, loadavg);
    std::printf("load average: %s; medians of %d repetitions\n", loadavg.c_str(), reps);
    clients.clear();
    std::error_code ec;
    std::filesystem::remove_all(runtime, ec);
    return 0;
}
