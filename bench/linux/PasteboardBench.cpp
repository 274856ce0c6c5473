// Costs of the pasteboard channel on the Linux backend: the idle poll the agent makes ten
// times a second for its whole life, the consume path of one command, and the latency
// from a companion's write to the agent waking up through inotify.
#include "platform/linux/session/FilePasteboard.h"
#include "platform/linux/session/LinuxRunLoop.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <stdexcept>

namespace {

using namespace tarvolin;

struct Fixture {
    std::filesystem::path dir;
    std::unique_ptr<FilePasteboardService> service;
    std::shared_ptr<FilePasteboard> pb;
    explicit Fixture(const std::filesystem::path& base = std::filesystem::temp_directory_path()) {
        std::string pattern = (base / "tarvolin-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
        dir = pattern;
        std::string error;
        service = FilePasteboardService::open(dir / "tarvolin", error);
        if (!service) throw std::runtime_error(error);
        pb = std::static_pointer_cast<FilePasteboard>(service->pasteboardWithName("TarvolinAgentPB"));
    }
    ~Fixture() {
        pb.reset();
        service.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

const std::string kCommand = R"({"cmd":"raise","winID":123456,"activate":"Text Editor"})";

// The idle poll: the agent's question when no command waits.
void BM_IdlePollCleared(benchmark::State& state) {
    Fixture f;
    f.pb->clearContents();
    for (auto _ : state) benchmark::DoNotOptimize(f.pb->canReadString());
}
BENCHMARK(BM_IdlePollCleared);

// Same, before anyone has ever written the pasteboard (no file).
void BM_IdlePollNoFile(benchmark::State& state) {
    Fixture f;
    for (auto _ : state) benchmark::DoNotOptimize(f.pb->canReadString());
}
BENCHMARK(BM_IdlePollNoFile);

// A fixed count, for counting system calls: strace -c -e trace=newfstatat,openat,read ...
void BM_IdlePollFixedCount(benchmark::State& state) {
    Fixture f;
    f.pb->clearContents();
    for (auto _ : state) benchmark::DoNotOptimize(f.pb->canReadString());
}
BENCHMARK(BM_IdlePollFixedCount)->Iterations(100000);

// What the agent does for one command: test, read, compare-and-clear; plus the companion's write.
void BM_WriteAndConsumeOneCommand(benchmark::State& state) {
    Fixture f;
    for (auto _ : state) {
        f.pb->writeItems({PasteboardItem{kCommand}});
        if (!f.pb->canReadString()) state.SkipWithError("no text after a write");
        PasteboardRead read = f.pb->readStrings();
        if (!f.pb->clearContentsIfChangeCount(read.changeCount)) state.SkipWithError("clear failed");
        benchmark::DoNotOptimize(read);
    }
}
BENCHMARK(BM_WriteAndConsumeOneCommand);

// The compare-and-clear after a command, on ext4 (the working directory, when it is on /work)
// and on tmpfs (/dev/shm, as a desktop's $XDG_RUNTIME_DIR). Against it, in the same run, the
// way clears used to replace the file: the same lock and count read, then a rename over it,
// which ext4 (auto_da_alloc) follows with a write-back of the new file's data.
const std::filesystem::path kPlaces[] = {std::filesystem::current_path(), "/dev/shm"};

template <class Clear>
void clearAfterCommands(benchmark::State& state, Clear clear) {
    Fixture f(kPlaces[state.range(0)]);
    for (auto _ : state) {
        state.PauseTiming();
        const std::int64_t count = f.pb->writeItems({PasteboardItem{kCommand}});
        state.ResumeTiming();
        clear(f, count);
    }
}

void BM_ClearAfterCommand(benchmark::State& state) {
    clearAfterCommands(state, [&](Fixture& f, std::int64_t count) {
        if (!f.pb->clearContentsIfChangeCount(count)) state.SkipWithError("clear failed");
    });
}
BENCHMARK(BM_ClearAfterCommand)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_ClearByRenameOver(benchmark::State& state) {
    clearAfterCommands(state, [&](Fixture& f, std::int64_t count) {
        const auto dir = f.dir / "tarvolin";
        const int lock = ::open((dir / "TarvolinAgentPB.lock").c_str(), O_RDWR | O_CLOEXEC);
        ::flock(lock, LOCK_EX);
        if (f.pb->changeCount() != count) state.SkipWithError("count moved");
        char cleared[28];
        std::snprintf(cleared, sizeof cleared, "TVPB1 %020lld\n", static_cast<long long>(count + 1));
        const auto temp = dir / ".tmp";
        const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0 || ::write(fd, cleared, 27) != 27 || ::fchmod(fd, 0400) != 0 || ::close(fd) != 0 ||
            ::rename(temp.c_str(), (dir / f.pb->fileName()).c_str()) != 0)
            state.SkipWithError("rename failed");
        ::flock(lock, LOCK_UN);
        ::close(lock);
    });
}
BENCHMARK(BM_ClearByRenameOver)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// From the start of a write until the agent's loop runs its wake-up callback (inotify).
void BM_WriteToWakeUpLatency(benchmark::State& state) {
    Fixture f;
    LinuxRunLoop loop;
    std::chrono::steady_clock::time_point woke;
    bool pending = false;
    auto watch = f.service->watchChanges(loop, [&] {
        if (!pending) return;
        woke = std::chrono::steady_clock::now();
        pending = false;
        loop.exit(0);
    });
    for (auto _ : state) {
        pending = true;
        auto start = std::chrono::steady_clock::now();
        f.pb->writeItems({PasteboardItem{kCommand}});
        loop.run();
        state.SetIterationTime(std::chrono::duration<double>(woke - start).count());
    }
}
BENCHMARK(BM_WriteToWakeUpLatency)->UseManualTime()->Unit(benchmark::kMicrosecond);

double cpuSeconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The idle agent's whole channel cost: the 0.1 s timer plus the poll, for 3 s of wall time.
// Reported as CPU time per wall second (cpu_ms_per_s) and per poll (cpu_us_per_poll).
void BM_IdleLoopCpu(benchmark::State& state) {
    Fixture f;
    f.pb->clearContents();
    for (auto _ : state) {
        LinuxRunLoop loop;
        int polls = 0;
        auto timer = Timer::make(std::chrono::milliseconds(100), true, [&] {
            benchmark::DoNotOptimize(f.pb->canReadString());
            ++polls;
        });
        loop.addTimer(timer);
        loop.dispatchAfter(std::chrono::seconds(3), [&] { loop.exit(0); });
        double cpu0 = cpuSeconds();
        auto wall0 = std::chrono::steady_clock::now();
        loop.run();
        double cpu = cpuSeconds() - cpu0;
        double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
        state.counters["polls"] = polls;
        state.counters["cpu_ms_per_s"] = cpu * 1000 / wall;
        state.counters["cpu_us_per_poll"] = polls ? cpu * 1e6 / polls : 0;
    }
}
BENCHMARK(BM_IdleLoopCpu)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
