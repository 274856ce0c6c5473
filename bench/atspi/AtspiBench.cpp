// Real widgets on Xvfb + openbox with an accessibility bus, GTK 3's widget factory shown:
//   walk         every widget of the window with its role, title, place and children, through
//                the agent's elements and by libatspi directly, in the same run; "cached" with
//                libatspi's cache as the application filled it, "uncached" with it emptied first
//   scan         the agent's first scan and its rescan of an unchanged desktop of 100 plain
//                windows, alone, then with the widget factory and Qt's calculator beside them,
//                then with the widget factory stopped (SIGSTOP)
//
//   tarvolin_atspi_bench [--reps N]
#include "bench/BenchCommon.h"
#include "platform/LocalNotificationCenter.h"
#include "platform/linux/atspi/AtspiWidgets.h"
#include "platform/linux/x11/X11Desktop.h"
#include "tools/headless/SampleClient.h"

#include <atspi/atspi.h>
#include <signal.h>

#include <cstdio>
#include <thread>

using namespace tarvolin;
using Clock = std::chrono::steady_clock;

namespace {

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

template <class F>
double timed(F f) {
    const auto start = Clock::now();
    f();
    return ms(Clock::now() - start);
}

// What inspect and the tests read of each widget.
size_t agentWalk(const AXElement& e) {
    size_t n = 0;
    for (const char* a : {"AXRole", "AXTitle", "AXPosition", "AXSize"}) ax::copyAttributeValue(e, a);
    auto children = ax::copyAttributeValue(e, "AXChildren");
    const Value::Array* all = children.value ? children.value->asArray() : nullptr;
    for (const Value& c : all ? *all : Value::Array{})
        if (const AXElement* child = c.asElement()) n += 1 + agentWalk(*child);
    return n;
}

size_t ownWalk(AtspiAccessible* a) {
    size_t n = 0;
    GError* e = nullptr;
    const gint count = atspi_accessible_get_child_count(a, &e);
    g_clear_error(&e);
    for (gint i = 0; i < count; ++i) {
        AtspiAccessible* child = atspi_accessible_get_child_at_index(a, i, &e);
        g_clear_error(&e);
        if (!child) continue;
        atspi_accessible_get_role(child, &e);
        g_clear_error(&e);
        g_free(atspi_accessible_get_name(child, &e));
        g_clear_error(&e);
        AtspiStateSet* states = atspi_accessible_get_state_set(child);
        if (AtspiComponent* c = atspi_accessible_get_component_iface(child)) {
            if (atspi_state_set_contains(states, ATSPI_STATE_SHOWING))
                g_free(atspi_component_get_extents(c, ATSPI_COORD_TYPE_SCREEN, &e));
            g_clear_error(&e);
            g_object_unref(c);
        }
        g_object_unref(states);
        n += 1 + ownWalk(child);
        g_object_unref(child);
    }
    return n;
}

AtspiAccessible* applicationOf(pid_t pid) {
    AtspiAccessible* desk = atspi_get_desktop(0);
    AtspiAccessible* found = nullptr;
    GError* e = nullptr;
    for (gint i = 0; !found && i < atspi_accessible_get_child_count(desk, &e); ++i) {
        AtspiAccessible* a = atspi_accessible_get_child_at_index(desk, i, &e);
        if (a && atspi_accessible_get_process_id(a, &e) == guint(pid))
            found = a;
        else if (a)
            g_object_unref(a);
        g_clear_error(&e);
    }
    g_object_unref(desk);
    return found;
}

AXElement windowOf(DesktopBackend& d, pid_t pid) {
    AXElement app = d.accessibility().createApplication(pid);
    auto windows = ax::copyAttributeValues(app, "AXWindows", 0, 10);
    for (const Value& v : windows.value.value_or(Value::Array{}))
        if (v.asElement()) return *v.asElement();
    return {};
}

}  // namespace

int main(int argc, char** argv) {
    int reps = 20;
    if (argc == 3 && std::string(argv[1]) == "--reps")
        reps = std::max(3, std::atoi(argv[2]));
    else if (argc != 1) {
        std::fprintf(stderr, "usage: tarvolin_atspi_bench [--reps N]\n");
        return 2;
    }
    std::string error;
    auto session = headless::XvfbDesktop::start({}, error);
    if (!session) {
        std::fprintf(stderr, "cannot start the X session: %s\n", error.c_str());
        return 1;
    }
    std::vector<std::string> env = session->environment();
    for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
    auto bus = headless::Process::spawn({"/usr/libexec/at-spi-bus-launcher", "--launch-immediately"}, {env});
    LocalNotificationCenter center;
    std::vector<std::function<void()>> turnEnd;
    auto connect = [&] {
        auto d = X11Desktop::connect(session->display().c_str(), center, error);
        if (!d) return d;
        d->endTurnsWith([&](std::function<void()> task) { turnEnd.push_back(std::move(task)); });
        d->setWidgetSource(atspi::connect(atspi::Positions::screen, nullptr, [&](std::function<void()> task) {
            turnEnd.push_back(std::move(task));
        }));
        return d;
    };
    auto endTurn = [&] {
        for (auto& task : std::exchange(turnEnd, {})) task();
    };

    // 100 plain windows first: the scan without applications on the bus.
    std::vector<std::vector<std::string>> plain;
    for (int n = 0; n < 100; ++n)
        plain.push_back({"--title", "bench window " + std::to_string(n), "--geometry",
                         "120x80+" + std::to_string((n * 37) % 1100) + "+" + std::to_string((n * 53) % 900)});
    auto clients = headless::startSampleClient(*session, TARVOLIN_SAMPLE_WINDOWS, plain, error);
    if (!clients) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    auto scans = [&](const char* what) {
        std::vector<double> first, again;
        size_t found = 0;
        for (int r = 0; r < reps; ++r) {
            auto fresh = connect();
            if (!fresh) return false;
            first.push_back(timed([&] { found = bench::agentFirstScan(*fresh); }));
            endTurn();
            again.push_back(timed([&] {
                fresh->windows().copyWindowInfo(16, 0);
                fresh->workspace().runningApplications();
            }));
            endTurn();
        }
        std::printf("scan  %-44s %4zu windows  first %8.2f ms  rescan %6.3f ms\n", what, found, median(first),
                    median(again));
        return true;
    };
    double load[3] = {0, 0, 0};
    getloadavg(load, 3);
    std::printf("Xvfb + openbox + accessibility bus; medians of %d; load average %.2f %.2f %.2f\n", reps,
                load[0], load[1], load[2]);
    if (!scans("100 plain windows")) return 1;

    std::vector<std::string> appEnv = env;
    appEnv.insert(appEnv.end(),
                  {"GDK_BACKEND=x11", "QT_QPA_PLATFORM=xcb", "QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1"});
    auto factory = headless::Process::spawn({"/usr/bin/gtk3-widget-factory"}, {appEnv});
    auto calculator = headless::Process::spawn(
        {"/usr/lib/x86_64-linux-gnu/qt5/examples/widgets/widgets/calculator/calculator"}, {appEnv});
    auto desktop = connect();
    if (!desktop || atspi_init() > 1) return 1;
    // Both shown and on the bus, the factory's tree whole.
    AXElement window;
    size_t nodes = 0;
    for (auto end = Clock::now() + std::chrono::seconds(60); nodes < 200;
         std::this_thread::sleep_for(std::chrono::milliseconds(100))) {
        if (Clock::now() > end) {
            std::fprintf(stderr, "the widget factory did not show its widgets\n");
            return 1;
        }
        desktop->windows().copyWindowInfo(16, 0);
        endTurn();
        window = windowOf(*desktop, factory->pid());
        nodes = window ? agentWalk(window) : 0;
        endTurn();
        if (AtspiAccessible* calc = applicationOf(calculator->pid()); !calc)
            nodes = 0;
        else
            g_object_unref(calc);
    }
    AtspiAccessible* app = applicationOf(factory->pid());
    AtspiAccessible* top = atspi_accessible_get_child_at_index(app, 0, nullptr);
    std::vector<double> agentCached, ownCached, agentUncached, ownUncached;
    size_t ownNodes = 0;
    for (int r = 0; r < reps; ++r) {
        // Each walk one command: nothing the agent read in the last one is kept.
        endTurn();
        agentCached.push_back(timed([&] { nodes = agentWalk(window); }));
        ownCached.push_back(timed([&] { ownNodes = ownWalk(top); }));
        atspi_accessible_clear_cache(app);
        endTurn();
        agentUncached.push_back(timed([&] { agentWalk(window); }));
        atspi_accessible_clear_cache(app);
        ownUncached.push_back(timed([&] { ownWalk(top); }));
    }
    std::printf("walk  widget factory, %zu widgets (libatspi: %zu)\n", nodes, ownNodes);
    std::printf("      cached    agent %8.2f ms  libatspi %8.2f ms  ratio %.2f\n", median(agentCached),
                median(ownCached), median(agentCached) / median(ownCached));
    std::printf("      uncached  agent %8.2f ms  libatspi %8.2f ms  ratio %.2f\n", median(agentUncached),
                median(ownUncached), median(agentUncached) / median(ownUncached));
    g_object_unref(top);
    g_object_unref(app);

    if (!scans("+ widget factory + calculator")) return 1;
    ::kill(factory->pid(), SIGSTOP);
    const bool stopped = scans("+ the widget factory stopped");
    ::kill(factory->pid(), SIGCONT);
    return stopped ? 0 : 1;
}
