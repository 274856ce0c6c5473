// What the fuzz targets share: a small desktop with the agent on it, and checks.
#pragma once

#include "actions/ScriptText.h"
#include "app/AppDelegate.h"
#include "commands/CommandParsing.h"
#include "platform/sim/SimDesktop.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <string_view>

namespace tarvolin::fuzz {

using namespace std::chrono_literals;

inline std::string_view text(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// A finding: print why and abort, so libFuzzer keeps the input.
[[noreturn]] inline void fail(const std::string& why) {
    std::fprintf(stderr, "invariant broken: %s\n", why.c_str());
    std::abort();
}
inline void check(bool ok, const std::string& why) {
    if (!ok) fail(why);
}

// Equal, with a NaN equal to itself: a value read twice must be the same value.
inline bool same(const Value& a, const Value& b) {
    const double *x = a.asReal(), *y = b.asReal();
    if (x && y) return *x == *y || (std::isnan(*x) && std::isnan(*y));
    const auto *p = a.asArray(), *q = b.asArray();
    if (p && q)
        return std::equal(p->begin(), p->end(), q->begin(), q->end(),
                          [](const Value& v, const Value& w) { return same(v, w); });
    const auto *d = a.asDictionary(), *e = b.asDictionary();
    if (d && e)
        return std::equal(d->begin(), d->end(), e->begin(), e->end(), [](const auto& v, const auto& w) {
            return v.first == w.first && same(v.second, w.second);
        });
    return a == b;
}

// Editor (pid 10) windows 1, 2; Terminal (20) window 3; Viewer (30) window 4 without a close
// button; a launched agent.
struct Desktop {
    sim::SimDesktop desktop;
    sim::SimProcess& process = desktop.startProcess(100);
    AppDelegate agent{process.platform()};

    Desktop() {
        const std::map<std::int32_t, const char*> apps = {{10, "Editor"}, {20, "Terminal"}, {30, "Viewer"}};
        for (const auto& [pid, name] : apps) desktop.addApplication(pid, name);
        for (std::int64_t n = 1; n <= 4; ++n) {
            sim::WindowSpec spec;
            spec.pid = n <= 2 ? 10 : n == 3 ? 20 : 30;
            spec.number = n;
            spec.title = "w" + std::to_string(n);
            spec.hasCloseButton = n != 4;
            desktop.addWindow(spec);
        }
        process.launch(agent);
    }

    // Every window's title and bounds, by number, with its owner.
    struct Window {
        std::int32_t pid;
        std::string state;
    };
    std::map<std::int64_t, Window> windows() {
        std::map<std::int64_t, Window> out;
        for (std::int64_t n : desktop.windowOrder()) {
            const sim::SimWindow* w = desktop.window(n);
            std::string state = w->description.name.value_or("");
            if (const auto& b = w->description.bounds)
                for (const auto& v : {b->x, b->y, b->width, b->height})
                    if (v) state += " " + std::visit([](auto x) { return std::to_string(x); }, *v);
            out[n] = {w->pid, state};
        }
        return out;
    }

    // Windows other than window `winId` and the windows of the applications `apps` stayed as
    // they were (order aside: a raise reorders).
    void checkOnlyTargetsChanged(const std::map<std::int64_t, Window>& before, std::int64_t winId,
                                 const std::set<std::int32_t>& apps, std::string_view input) {
        auto after = windows();
        for (const auto& [n, w] : before) {
            if (n == winId || apps.count(w.pid) != 0) continue;
            auto it = after.find(n);
            check(it != after.end() && it->second.state == w.state,
                  "window " + std::to_string(n) + " changed for " + std::string(input));
        }
        check(after.size() <= before.size(), "a window appeared");
    }

    // The applications a quit may end: the one named, and the one its file name names.
    static std::set<std::int32_t> quitTargets(std::string_view argument) {
        const QuitTarget target = parseQuitTarget(argument);
        std::set<std::int32_t> pids;
        for (const std::string& name : {target.appName, removingOccurrences(target.appFileName, ".app")}) {
            if (name == "Editor") pids.insert(10);
            if (name == "Terminal") pids.insert(20);
            if (name == "Viewer") pids.insert(30);
        }
        return pids;
    }
};

}  // namespace tarvolin::fuzz
