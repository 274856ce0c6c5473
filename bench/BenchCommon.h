#pragma once

// What the desktop benchmarks share: the agent's first scan, and the timing of a peer.
#include "accessibility/UIElementUtilities.h"
#include "platform/linux/desktop/DesktopBackend.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace tarvolin::bench {

// Ends the backend's turns where the run loop would: at the end of each command.
class TurnEnds {
public:
    explicit TurnEnds(DesktopBackend& d) {
        d.endTurnsWith([this](std::function<void()> task) { tasks_.push_back(std::move(task)); });
    }
    void end() {
        for (auto& task : std::exchange(tasks_, {})) task();
    }

private:
    std::vector<std::function<void()>> tasks_;
};

// "--counts A,B,... --reps N" into `counts` and `reps`; false (and a message) on anything else.
inline bool readCountsAndReps(int argc, char** argv, std::vector<int>& counts, int& reps) {
    for (int i = 1; i < argc; i += 2) {
        const std::string a = argv[i];
        if (i + 1 >= argc || (a != "--reps" && a != "--counts")) {
            std::fprintf(stderr, "usage: %s [--counts A,B,...] [--reps N]\n", argv[0]);
            return false;
        }
        if (a == "--reps") {
            reps = std::max(3, std::atoi(argv[i + 1]));
            continue;
        }
        counts.clear();
        for (char* p = std::strtok(argv[i + 1], ","); p; p = std::strtok(nullptr, ","))
            counts.push_back(std::max(2, std::atoi(p)));
    }
    return !counts.empty();
}

// What the agent asks of a backend when every window is new: the list, the applications, and
// for each ordinary window its element (through its application's AXWindows), the attribute
// snapshot and the children. Returns the windows that got an element.
inline size_t agentFirstScan(DesktopBackend& d) {
    auto list = d.windows().copyWindowInfo(16, 0).value_or(std::vector<WindowDescription>{});
    auto apps = d.workspace().runningApplications();
    size_t found = 0;
    for (const WindowDescription& w : list) {
        auto number = w.number ? std::get_if<std::int64_t>(&*w.number) : nullptr;
        auto pid = w.ownerPid ? std::get_if<std::int64_t>(&*w.ownerPid) : nullptr;
        auto layer = w.layer ? std::get_if<std::int64_t>(&*w.layer) : nullptr;
        if (!number || !pid || !layer || *layer != 0) continue;
        AXElement app = d.accessibility().createApplication(static_cast<std::int32_t>(*pid));
        AXElement element;
        for (const Value& v :
             ax::copyAttributeValues(app, "AXWindows", 0, 1000).value.value_or(Value::Array{})) {
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

// Runs a command with `env` added and its output to /dev/null; its wall time in ms, or a
// negative value on failure.
inline double timedRun(std::vector<std::string> argv, const std::vector<std::string>& env) {
    std::vector<char*> raw;
    for (auto& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, STDOUT_FILENO);
        dup2(devnull, STDERR_FILENO);
        for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
        execvp(raw[0], raw.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    const std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - start;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? elapsed.count() : -1;
}

}  // namespace tarvolin::bench
