// Command latency of the agent on a private Xvfb + openbox desktop: from a raise command to
// the window being active, as the X server's _NET_ACTIVE_WINDOW says. Raises alternate
// between two windows so each one changes the active window. Modes:
//   wake  the command written in-process to the pasteboard; tarvolin-agent as shipped
//   poll  the same, to an agent without the change wake (this program with --agent --no-wake)
//   ctl   from starting `tarvolinctl raise ID` to active; tarvolin-agent as shipped
//   wm    no agent: this program sends _NET_ACTIVE_WINDOW itself; the window manager's own
//         reaction, the floor for the others
// Runtime directories (the pasteboard's): "shm" under /dev/shm (tmpfs, as a desktop's
// $XDG_RUNTIME_DIR), "default" under the temporary directory (ext4 here).
// Placements: "one" puts every process on CPU 0; "across" puts Xvfb and openbox on CPU 0
// and everything else (this program, the agent, tarvolinctl, the window clients) on CPU 1.
//
//   tarvolin_latency_bench [--counts 10,100,500] [--commands 200] [--placements one,across]
//                          [--modes wake,poll,ctl,wm] [--runtimes shm,default]
#include "app/AppDelegate.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/session/FilePasteboard.h"
#include "tools/headless/SampleClient.h"

#include <dirent.h>
#include <poll.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace tarvolin;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The agent exactly as app/main.cpp builds it, with the change wake optional.
int runAgent(bool wake) {
    std::string error;
    auto desktop = LinuxPlatform::open(error);
    if (!desktop) {
        std::fprintf(stderr, "tarvolin_latency_bench --agent: %s\n", error.c_str());
        return 1;
    }
    AppDelegate delegate(desktop->platform());
    if (wake) desktop->onPasteboardChanged([&delegate] { delegate.tick(); });
    return desktop->run(delegate);
}

std::vector<std::string> splitList(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text + ",");  // so that "a," yields a last, empty item too
    for (std::string item; std::getline(in, item, ',');) out.push_back(item);
    return out;
}

int parseCount(const std::string& text, const char* what, int least) {
    int v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || v < least || v > 100000)
        throw Failure(std::string(what) + ": not a count from " + std::to_string(least) + " to 100000: \"" +
                      text + "\"");
    return v;
}

void pinTo(pid_t pid, int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    // Every thread: sched_setaffinity on a pid moves only its main thread.
    bool any = false;
    if (DIR* dir = ::opendir(("/proc/" + std::to_string(pid) + "/task").c_str())) {
        while (dirent* e = ::readdir(dir)) {
            if (e->d_name[0] == '.') continue;
            any = true;
            if (::sched_setaffinity(std::atoi(e->d_name), sizeof set, &set) != 0) any = false;
        }
        ::closedir(dir);
    }
    if (!any) throw Failure("cannot pin process " + std::to_string(pid) + " to CPU " + std::to_string(cpu));
}

std::string cpusOf(pid_t pid) {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(pid, sizeof set, &set) != 0) return "?";
    std::string out;
    for (int i = 0; i < CPU_SETSIZE; ++i)
        if (CPU_ISSET(i, &set)) out += (out.empty() ? "" : ",") + std::to_string(i);
    return out;
}

std::string loadAverage() {
    double load[3] = {0, 0, 0};
    char text[64];
    ::getloadavg(load, 3);
    std::snprintf(text, sizeof text, "%.2f %.2f %.2f", load[0], load[1], load[2]);
    return text;
}

class TempDir {
public:
    explicit TempDir(const fs::path& under = fs::temp_directory_path()) {
        std::string pattern = (under / "tarvolin-latency-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw Failure("cannot make a temporary directory");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// Its own X connection that sees only root property changes, so the moment the active
// window changes is the moment its PropertyNotify arrives, not after unrelated traffic.
class ActiveWatch {
public:
    explicit ActiveWatch(const std::string& display) : c_(xcb_connect(display.c_str(), nullptr)) {
        if (xcb_connection_has_error(c_.get())) throw Failure("cannot connect to " + display);
        root_ = xcb_setup_roots_iterator(xcb_get_setup(c_.get())).data->root;
        const char* name = "_NET_ACTIVE_WINDOW";
        auto* r = xcb_intern_atom_reply(
            c_.get(), xcb_intern_atom(c_.get(), 0, static_cast<std::uint16_t>(std::strlen(name)), name),
            nullptr);
        if (!r) throw Failure("cannot intern _NET_ACTIVE_WINDOW");
        atom_ = r->atom;
        std::free(r);
        const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
        xcb_change_window_attributes(c_.get(), root_, XCB_CW_EVENT_MASK, &mask);
        active();  // a round trip: the selection is in place from here on
    }

    // What a pager does to activate a window.
    void request(xcb_window_t w) {
        xcb_client_message_event_t ev{};
        ev.response_type = XCB_CLIENT_MESSAGE;
        ev.format = 32;
        ev.window = w;
        ev.type = atom_;
        ev.data.data32[0] = 2;
        xcb_send_event(c_.get(), 0, root_,
                       XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                       reinterpret_cast<const char*>(&ev));
        xcb_flush(c_.get());
    }

    xcb_window_t active() {
        auto* r = xcb_get_property_reply(
            c_.get(), xcb_get_property(c_.get(), 0, root_, atom_, XCB_ATOM_WINDOW, 0, 1), nullptr);
        xcb_window_t w = XCB_NONE;
        if (r && r->format == 32 && xcb_get_property_value_length(r) == 4)
            w = *static_cast<xcb_window_t*>(xcb_get_property_value(r));
        std::free(r);
        return w;
    }

    // Drops changes that happened before a command, so they cannot be taken for its effect.
    void drain() {
        while (xcb_generic_event_t* ev = xcb_poll_for_event(c_.get())) std::free(ev);
    }

    // When the active window became `w`: the arrival of the PropertyNotify that made it so.
    Clock::time_point waitUntilActive(xcb_window_t w, std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            while (xcb_generic_event_t* ev = xcb_poll_for_event(c_.get())) {
                const auto seen = Clock::now();
                const bool ours = (ev->response_type & 0x7f) == XCB_PROPERTY_NOTIFY &&
                                  reinterpret_cast<xcb_property_notify_event_t*>(ev)->atom == atom_;
                std::free(ev);
                if (ours && active() == w) return seen;
            }
            if (xcb_connection_has_error(c_.get())) throw Failure("lost the X connection");
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left <= 0ms) throw Failure("window " + std::to_string(w) + " did not become active");
            pollfd p{xcb_get_file_descriptor(c_.get()), POLLIN, 0};
            ::poll(&p, 1, static_cast<int>(left.count()) + 1);
        }
    }

private:
    struct Disconnect {
        void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
    };
    std::unique_ptr<xcb_connection_t, Disconnect> c_;
    xcb_window_t root_ = 0;
    xcb_atom_t atom_ = 0;
};

struct Stats {
    double p50, p99, mean;
    std::size_t n;
};

Stats summarize(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    double sum = 0;
    for (double x : v) sum += x;
    auto rank = [&](double q) {  // nearest rank
        auto k = static_cast<std::size_t>(std::ceil(q * static_cast<double>(v.size())));
        return v[std::clamp<std::size_t>(k, 1, v.size()) - 1];
    };
    return {rank(0.50), rank(0.99), sum / static_cast<double>(v.size()), v.size()};
}

// One placement: a desktop, its windows, and each agent in turn.
class Bench {
public:
    // A runtime directory and the agent's environment and pasteboard with it.
    struct Runtime {
        std::vector<std::string> env;
        std::unique_ptr<FilePasteboardService> pasteboards;
        std::shared_ptr<FilePasteboard> pb;
    };

    Bench(bool across, std::string self) : self_(std::move(self)) {
        pinTo(::getpid(), across ? 1 : 0);  // what this process starts inherits it
        std::string error;
        // The desktop's session bus is the agent's own, so its notifications go nowhere else.
        x_ = headless::XvfbDesktop::start({}, error);
        if (!x_) throw Failure("cannot start the X session: " + error);
        if (across) {
            pinTo(x_->serverPid(), 0);
            pinTo(x_->windowManagerPid(), 0);
        }
        for (const char* name : {"shm", "default"}) {
            Runtime& runtime = runtimes_[name];
            const fs::path run = (name == std::string("shm") ? shm_ : dir_).path() / "run";
            ::mkdir(run.c_str(), 0700);
            runtime.env = x_->environment();
            runtime.env.insert(runtime.env.end(), {"XDG_RUNTIME_DIR=" + run.string(),
                                                   "XDG_CONFIG_HOME=" + (dir_.path() / "config").string()});
            runtime.pasteboards = FilePasteboardService::open(run / "tarvolin", error);
            if (!runtime.pasteboards) throw Failure(error);
            runtime.pb = std::static_pointer_cast<FilePasteboard>(
                runtime.pasteboards->pasteboardWithName(kAgentPasteboardName));
        }
        watch_ = std::make_unique<ActiveWatch>(x_->display());
    }

    // Adds windows in clients of at most 100 each until there are `count`.
    void growTo(int count) {
        while (made_ < count) {
            const int batch = std::min(100, count - made_);
            std::vector<std::vector<std::string>> windows;
            for (int k = 0; k < batch; ++k) {
                const int n = made_ + k;
                windows.push_back(
                    {"--title", "latency " + std::to_string(n), "--geometry",
                     "160x100+" + std::to_string((n * 37) % 1100) + "+" + std::to_string((n * 53) % 900)});
            }
            std::string error;
            auto client = headless::startSampleClient(*x_, TARVOLIN_SAMPLE_WINDOWS, windows, error);
            if (!client) throw Failure(error);
            clients_.push_back(std::move(*client));
            made_ += batch;
        }
    }

    Stats measure(const std::string& mode, const std::string& runtimeName, int commands) {
        Runtime& runtime = runtimes_.at(runtimeName);
        headless::Process::Options options;
        options.env = runtime.env;
        std::vector<std::string> argv = {TARVOLIN_AGENT};
        if (mode == "poll") argv = {self_, "--agent", "--no-wake"};
        std::unique_ptr<headless::Process> agent;
        if (mode != "wm") {
            agent = headless::Process::spawn(argv, options);
            if (!agent) throw Failure("cannot start the agent");
            agentCpus_ = cpusOf(agent->pid());
            // The agent clears the pasteboard once at launch, which may eat the first barrier;
            // a second one can only be taken by its command loop.
            barrier(runtime, *agent);
            barrier(runtime, *agent);
        }

        const xcb_window_t targets[2] = {clients_.front().windows[0], clients_.front().windows[1]};
        const int warmup = 4;
        std::vector<double> latencies;
        for (int i = 0; i < warmup + commands; ++i) {
            xcb_window_t target = targets[i % 2];
            if (watch_->active() == target) target = targets[(i + 1) % 2];
            // Think time, random so that commands meet every phase of the 0.1 s poll timer.
            std::this_thread::sleep_for(std::chrono::microseconds(gap_(random_)));
            watch_->drain();
            const auto start = Clock::now();
            std::unique_ptr<headless::Process> ctl;
            if (mode == "wm") {
                watch_->request(target);
            } else if (mode == "ctl") {
                ctl = headless::Process::spawn({TARVOLINCTL, "raise", std::to_string(target)}, options);
                if (!ctl) throw Failure("cannot start tarvolinctl");
            } else {
                runtime.pb->writeItems(
                    {PasteboardItem{R"({"cmd":"raise","winID":)" + std::to_string(target) + "}"}});
            }
            Clock::time_point active;
            try {
                active = watch_->waitUntilActive(target, 5s);
            } catch (const Failure& f) {
                throw Failure(std::string(f.what()) +
                              (!agent || agent->running() ? "" : " (the agent exited)"));
            }
            if (ctl) {
                auto status = ctl->wait(10s);
                if (!status || !WIFEXITED(*status) || WEXITSTATUS(*status) != 0)
                    throw Failure("tarvolinctl raise failed");
            }
            if (i >= warmup)
                latencies.push_back(std::chrono::duration<double, std::milli>(active - start).count());
        }
        if (agent) agent->stop();
        return summarize(latencies);
    }

    // Median wall time of `wmctrl -lpG` on this desktop, from this program's CPU: the peer's
    // listing in the same run and placement.
    double wmctrlMs(int runs) {
        std::vector<double> times;
        for (int r = 0; r < runs; ++r) {
            const auto start = Clock::now();
            headless::Process::Options options;
            options.env = runtimes_.at("default").env;
            auto child = headless::Process::spawn({"sh", "-c", "exec wmctrl -lpG >/dev/null"}, options);
            auto status = child ? child->wait(30s) : std::nullopt;
            if (!status || !WIFEXITED(*status) || WEXITSTATUS(*status) != 0)
                throw Failure("wmctrl -lpG failed");
            times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        }
        return summarize(times).p50;
    }

    std::string pinning() const {
        return "Xvfb " + cpusOf(x_->serverPid()) + ", openbox " + cpusOf(x_->windowManagerPid()) +
               ", agent " + agentCpus_ + ", this program " + cpusOf(::getpid());
    }

private:
    // A command that does nothing; once the pasteboard is empty again the agent has taken it.
    void barrier(Runtime& runtime, headless::Process& agent) {
        LinuxRunLoop loop;
        bool taken = false;
        auto& pb = *runtime.pb;
        auto watch = runtime.pasteboards->watchChanges(loop, [&] {
            if (pb.canReadString()) return;
            taken = true;
            loop.exit(0);
        });
        pb.writeItems({PasteboardItem{R"({"cmd":"barrier"})"}});
        loop.dispatchAfter(20s, [&] { loop.exit(0); });
        if (pb.canReadString()) loop.run();
        if (pb.canReadString() && !taken)
            throw Failure(agent.running() ? "the agent does not take commands" : "the agent exited");
    }

    std::string self_;
    TempDir dir_;
    TempDir shm_{"/dev/shm"};
    std::unique_ptr<headless::XvfbDesktop> x_;  // destroyed last: it owns Xvfb
    std::map<std::string, Runtime> runtimes_;
    std::unique_ptr<ActiveWatch> watch_;
    std::vector<headless::SampleClient> clients_;
    int made_ = 0;
    std::string agentCpus_;
    std::mt19937 random_{20261206};
    std::uniform_int_distribution<int> gap_{0, 99999};
};

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::string(argv[1]) == "--agent") {
        const bool wake = !(argc == 3 && std::string(argv[2]) == "--no-wake");
        if (argc > 3 || (argc == 3 && wake)) {
            std::fprintf(stderr, "usage: %s --agent [--no-wake]\n", argv[0]);
            return 2;
        }
        return runAgent(wake);
    }
    try {
        std::vector<int> counts = {10, 100, 500};
        int commands = 200;
        std::vector<std::string> placements = {"one", "across"}, modes = {"wake", "poll", "ctl", "wm"},
                                 runtimes = {"shm", "default"};
        for (int i = 1; i < argc; i += 2) {
            const std::string option = argv[i];
            if (i + 1 >= argc) throw Failure("missing value for " + option);
            const std::string value = argv[i + 1];
            if (option == "--counts") {
                counts.clear();
                for (const auto& c : splitList(value))
                    counts.push_back(parseCount(c, "--counts", 2));  // two to alternate
                std::sort(counts.begin(), counts.end());
            } else if (option == "--commands") {
                commands = parseCount(value, "--commands", 1);
            } else if (option == "--placements" || option == "--modes" || option == "--runtimes") {
                auto& list = option == "--modes" ? modes : option == "--runtimes" ? runtimes : placements;
                const std::vector<std::string> known =
                    option == "--modes"      ? std::vector<std::string>{"wake", "poll", "ctl", "wm"}
                    : option == "--runtimes" ? std::vector<std::string>{"shm", "default"}
                                             : std::vector<std::string>{"one", "across"};
                list = splitList(value);
                for (const auto& v : list)
                    if (std::find(known.begin(), known.end(), v) == known.end())
                        throw Failure("unknown value for " + option + ": \"" + v + "\"");
            } else {
                throw Failure("unknown option " + option +
                              " (--counts N,.. --commands N --placements one,across --modes wake,poll,ctl,wm"
                              " --runtimes shm,default)");
            }
        }
        const std::string self = fs::read_symlink("/proc/self/exe").string();

        std::printf("load average at start: %s\n", loadAverage().c_str());
        std::printf("%7s  %-9s %-5s %-8s %9s %9s %9s %5s\n", "windows", "placement", "mode", "runtime",
                    "p50 ms", "p99 ms", "mean ms", "n");
        std::fflush(stdout);
        for (const auto& placement : placements) {
            Bench bench(placement == "across", self);
            for (int windows : counts) {
                bench.growTo(windows);
                std::printf("%7d  %-9s wmctrl -lpG p50 %.2f ms\n", windows, placement.c_str(),
                            bench.wmctrlMs(9));
                for (const auto& mode : modes) {
                    for (const auto& runtime : runtimes) {
                        if (mode == "wm" && runtime != runtimes.front()) continue;  // no pasteboard
                        const Stats s = bench.measure(mode, runtime, commands);
                        std::printf("%7d  %-9s %-5s %-8s %9.2f %9.2f %9.2f %5zu\n", windows,
                                    placement.c_str(), mode.c_str(), mode == "wm" ? "-" : runtime.c_str(),
                                    s.p50, s.p99, s.mean, s.n);
                        std::fflush(stdout);
                    }
                }
            }
            std::printf("CPUs %s: %s\n", placement.c_str(), bench.pinning().c_str());
        }
        std::printf("load average at end: %s\n", loadAverage().c_str());
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tarvolin_latency_bench: %s\n", e.what());
        return 1;
    }
}
