// tarvolin-headless [--] COMMAND [ARG]...
// Runs COMMAND on a fresh private desktop (Xvfb, openbox, a session bus; DISPLAY and
// DBUS_SESSION_BUS_ADDRESS set) and exits with its status. Whatever the command leaves
// running in its process group is ended, then the desktop; nothing stays behind.
#include "tools/headless/Desktop.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

using namespace std::chrono_literals;

volatile sig_atomic_t pendingSignal = 0;

// Ends the rest of the command's process group; as their subreaper we reap them too.
void endGroup(pid_t group) {
    for (int sig : {SIGTERM, SIGKILL}) {
        if (kill(-group, sig) != 0) return;
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (std::chrono::steady_clock::now() < deadline) {
            pid_t r = waitpid(-group, nullptr, WNOHANG);
            if (r < 0 && errno == ECHILD) return;
            if (r == 0) usleep(10000);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    using tarvolin::headless::Desktop;
    using tarvolin::headless::Process;
    int first = argc > 1 && std::strcmp(argv[1], "--") == 0 ? 2 : 1;
    if (first >= argc) {
        std::fprintf(stderr, "usage: tarvolin-headless [--] COMMAND [ARG]...\n");
        return 2;
    }
    // Orphans of the command become ours, so endGroup can wait for them.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    std::string error;
    auto desktop = Desktop::start(Desktop::Kind::x11, error);
    if (!desktop) {
        std::fprintf(stderr, "tarvolin-headless: %s\n", error.c_str());
        return 125;
    }
    struct sigaction forward {};
    forward.sa_handler = [](int sig) { pendingSignal = sig; };
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &forward, nullptr);

    Process::Options options;
    options.env = desktop->environment();
    options.quiet = false;
    auto command = Process::spawn({argv + first, argv + argc}, options);
    if (!command) {
        std::fprintf(stderr, "tarvolin-headless: cannot start %s\n", argv[first]);
        return 125;
    }
    std::optional<int> status;
    while (!(status = command->wait(100ms))) {
        if (int sig = pendingSignal) {
            pendingSignal = 0;
            kill(-command->pid(), sig);
        }
    }
    endGroup(command->pid());
    const int code = Process::exitCode(*status);
    if (code == 127) std::fprintf(stderr, "tarvolin-headless: %s did not run\n", argv[first]);
    return code;
}
