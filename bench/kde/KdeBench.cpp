// The agent's scans and raise on a headless KWin, beside what a script without an agent pays: a
// one-shot script loaded through org.kde.kwin.Scripting (load, run, report, unload) for the same
// list and the same activation.
//
//   tarvolin_kde_bench [--counts 10,100] [--reps 20]
// With $TARVOLIN_DEBIAN13_ROOT set (scripts/debian13-root), KWin 6 from that root.
#include "bench/CompositorBench.h"
#include "platform/LocalNotificationCenter.h"
#include "platform/linux/kde/KWinDesktop.h"
#include "tools/headless/HeadlessKWin.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

using namespace tarvolin;

int main(int argc, char** argv) {
    // KWin runs as another user when this runs as root: it must be able to read the script.
    char pattern[] = "/tmp/tarvolin-kde-bench-XXXXXX";
    const std::string runtime = ::mkdtemp(pattern);
    ::chmod(runtime.c_str(), 0755);
    ::mkdir((runtime + "/tarvolin-kwin").c_str(), 0755);
    std::string error;
    headless::KWinOptions options;
    options.xwayland = false;
    if (const char* root = std::getenv("TARVOLIN_DEBIAN13_ROOT"); root && *root) {
        options.root = root;
        options.shared = {runtime};
    }
    auto kwin = headless::HeadlessKWin::start(error, options);
    if (!kwin) {
        std::fprintf(stderr, "cannot start KWin: %s\n", error.c_str());
        return 1;
    }
    std::printf("KWin %s\n", kwin->runScript("return six ? 6 : 5;").dump().c_str());
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", kwin->busAddress().c_str(), 1);

    LocalNotificationCenter center;
    nlohmann::json all;
    bench::CompositorRun run;
    run.clientEnvironment = kwin->clientEnvironment();
    run.windowsShown = [&] { return kwin->windows().size(); };
    run.connect = [&](std::string& why) {
        return KWinDesktop::connect(KWinDesktop::Role::observer, center, why);
    };
    run.beside = {
        {"one-shot list",
         [&](int) {
             all = kwin->runScript(
                 "return windowList().map(c => ({id: String(c.internalId), pid: c.pid, title: "
                 "c.caption, app: c.desktopFileName, g: c.frameGeometry, min: c.minimized, desktop: "
                 "desktopOf(c)}));");
             if (all.is_array() && !all.empty()) return true;
             std::fprintf(stderr, "the one-shot list: %s\n", kwin->lastError().c_str());
             return false;
         }},
        {"one-shot activate",
         [&](int r) {
             if (kwin->activate(all[size_t(r + 1) % all.size()]["id"])) return true;
             std::fprintf(stderr, "the one-shot activation: %s\n", kwin->lastError().c_str());
             return false;
         }},
    };
    const int status = bench::runCompositorBench(argc, argv, run);
    std::error_code ec;
    std::filesystem::remove_all(runtime, ec);
    return status;
}
