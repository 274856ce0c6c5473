// Inventory scan on a simulated desktop of 1,000 windows of 100 applications,
// with a 100-entry key-label table.
#include "app/AppDelegate.h"
#include "platform/plist/KeyedArchiver.h"
#include "platform/sim/SimDesktop.h"

#include <benchmark/benchmark.h>

#include <memory>

namespace {

using namespace tarvolin;

constexpr int kApplications = 100;
constexpr int kWindowsPerApplication = 10;

struct Desktop {
    sim::SimDesktop desktop;
    sim::SimProcess& process = desktop.startProcess(1);
    std::unique_ptr<AppDelegate> agent = std::make_unique<AppDelegate>(process.platform());

    Desktop() {
        const Image icon(Size{128, 128}, 128, 128, std::vector<std::uint32_t>(128 * 128, 0xff336699));
        Value::Array table;
        for (int a = 0; a < kApplications; ++a) {
            const std::int32_t pid = 1000 + a;
            const std::string name = "App" + std::to_string(a);
            desktop.addApplication(pid, name, icon);
            Value::Array labels;
            for (int k = 0; k < kWindowsPerApplication; ++k)
                labels.emplace_back(name + "-" + std::to_string(k));
            table.push_back(
                Value::dictionary({{"appName", Value(name)}, {"key", Value::array(std::move(labels))}}));
        }
        // Interleave the applications' windows, as stacking does.
        for (int k = 0; k < kWindowsPerApplication; ++k)
            for (int a = 0; a < kApplications; ++a) {
                sim::WindowSpec spec;
                spec.pid = 1000 + a;
                spec.number = 100000 - (a * kWindowsPerApplication + k);
                spec.title = "Window " + std::to_string(k);
                desktop.addWindow(spec);
            }
        process.launch(*agent);
        process.standardUserDefaults()->setObject(
            "WinKey", Value::data(archiveKeyedBinary(Value::array(std::move(table)))));
        desktop.resetCounters();
    }
};

// Requests per scan, from counts summed over every iteration.
void report(benchmark::State& state, std::int64_t windowList, std::int64_t runningApps, std::int64_t ax) {
    const double scans = static_cast<double>(state.iterations());
    state.counters["windowList/scan"] = static_cast<double>(windowList) / scans;
    state.counters["runningApps/scan"] = static_cast<double>(runningApps) / scans;
    state.counters["axRequests/scan"] = static_cast<double>(ax) / scans;
}

void BM_FirstScan(benchmark::State& state) {
    std::int64_t windowList = 0, runningApps = 0, ax = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto d = std::make_unique<Desktop>();
        state.ResumeTiming();
        d->agent->resetWindowInfo();
        state.PauseTiming();
        const auto& c = d->desktop.counters();
        windowList += c.windowListRequests;
        runningApps += c.runningApplicationsRequests;
        ax += c.accessibilityRequests();
        benchmark::DoNotOptimize(d->agent->windowInfoArray()->size());
        d.reset();
        state.ResumeTiming();
    }
    report(state, windowList, runningApps, ax);
}
BENCHMARK(BM_FirstScan)->Unit(benchmark::kMillisecond);

void BM_UnchangedScan(benchmark::State& state) {
    Desktop d;
    d.agent->resetWindowInfo();
    d.desktop.resetCounters();
    for (auto _ : state) {
        d.agent->resetWindowInfo();
        benchmark::DoNotOptimize(d.agent->windowInfoArray()->size());
    }
    const auto& c = d.desktop.counters();
    report(state, c.windowListRequests, c.runningApplicationsRequests, c.accessibilityRequests());
}
BENCHMARK(BM_UnchangedScan)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
