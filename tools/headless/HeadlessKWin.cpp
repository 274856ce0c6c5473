#include "HeadlessKWin.h"

#include "SessionUser.h"

#include "tools/headless/Process.h"

#include <systemd/sd-bus.h>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

namespace tarvolin::headless {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

constexpr auto kReadyTimeout = 30s;
constexpr auto kScriptTimeout = 10s;
constexpr const char* kInterface = "org.tarvolin.Harness";
constexpr const char* kSocket = "wayland-0";

// KWin names its Xwayland display only in the environment of its own children: read it from the
// command line of the Xwayland it started.
// Whether `name` serves `path` yet.
bool nameHasObject(sd_bus* bus, const char* name, const char* path) {
    sd_bus_message* reply = nullptr;
    const bool there = sd_bus_call_method(bus, name, path, "org.freedesktop.DBus.Introspectable",
                                          "Introspect", nullptr, &reply, "") >= 0;
    sd_bus_message_unref(reply);
    return there;
}

// The X display KWin listens on for Xwayland: read back, never assumed (KWin 6 starts Xwayland
// only once an X client connects, and in a Debian root any number may be taken, as abstract
// sockets are shared with this system). Its listening sockets' names, by inode.
std::string xDisplayOf(pid_t kwin) {
    std::set<std::string> sockets;
    std::error_code ec;
    for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(kwin) + "/fd", ec)) {
        const std::string link = fs::read_symlink(fd.path(), ec).string();
        if (link.starts_with("socket:[")) sockets.insert(link.substr(8, link.size() - 9));
    }
    std::ifstream unix("/proc/net/unix");
    const std::string prefix = "@/tmp/.X11-unix/X";
    for (std::string line; std::getline(unix, line);) {
        std::istringstream fields(line);
        std::string slot, refs, protocol, flags, type, state, inode, path;
        if (!(fields >> slot >> refs >> protocol >> flags >> type >> state >> inode >> path)) continue;
        if (sockets.count(inode) && path.starts_with(prefix) && path.size() > prefix.size() &&
            path.find_first_not_of("0123456789", prefix.size()) == std::string::npos)
            return ":" + path.substr(prefix.size());
    }
    return "";
}

}  // namespace

// What every script of the harness's may use, alike on KWin 5 and 6 (numbered desktops from 1).
constexpr const char* kScriptPrelude = R"js(
const six = typeof workspace.windowList === "function";
const windowList = () => (six ? workspace.windowList() : workspace.clientList());
const windowById = (id) => windowList().find((c) => c.internalId.toString() === id) || null;
const desktopOf = (c) => (six ? (c.desktops.length ? c.desktops[0].x11DesktopNumber : 0) : c.desktop);
const putOnDesktop = (c, n) => { if (six) c.desktops = [workspace.desktops[n - 1]]; else c.desktop = n; };
const currentDesktop = () => (six ? workspace.currentDesktop.x11DesktopNumber : workspace.currentDesktop);
const setCurrentDesktop = (n) => { workspace.currentDesktop = six ? workspace.desktops[n - 1] : n; };
const activate = (c) => { if (six) workspace.activeWindow = c; else workspace.activeClient = c; };
)js";

// What the harness's scripts call back with.
struct KWinReport {
    static int handle(sd_bus_message* message, void* self, sd_bus_error*);
};

std::unique_ptr<HeadlessKWin> HeadlessKWin::start(std::string& error, const Options& options) {
    if (options.width <= 0 || options.height <= 0 || options.desktops < 1 || options.desktops > 20 ||
        options.outputs < 1 || options.outputs > 8) {
        error = "bad options: the size must be positive, desktops 1 to 20 and outputs 1 to 8";
        return nullptr;
    }
    const bool root = ::geteuid() == 0;
    const auto account = sessionAccount(kUser, "KWin", error);
    if (!account) return nullptr;
    const uid_t uid = account->uid;
    const gid_t gid = account->gid;
    std::unique_ptr<HeadlessKWin> k(new HeadlessKWin());
    std::string pattern = (fs::temp_directory_path() / "tarvolin-kwin-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        error = "cannot make a directory for KWin";
        return nullptr;
    }
    k->dir_ = pattern;
    const std::string home = k->dir_ + "/home", run = k->dir_ + "/run", config = home + "/.config";
    const std::string binary = k->dir_ + "/kwin_wayland";
    std::error_code ec;
    fs::create_directories(config, ec);
    fs::create_directories(run, ec);
    fs::create_directories(k->dir_ + "/scripts", ec);
    // The copy has no file capability; it keeps the name, by which KWin picks its own Qt platform.
    // The root may be layers, the top first ("upper:lower"): the top one that has it.
    std::string installed = "/usr/bin/kwin_wayland";
    for (std::istringstream layers(options.root); !options.root.empty();) {
        std::string layer;
        if (!std::getline(layers, layer, ':')) break;
        installed = layer + "/usr/bin/kwin_wayland";
        if (fs::exists(installed, ec)) break;
    }
    fs::copy_file(installed, binary, ec);
    if (ec) {
        error = "cannot copy " + installed + " (is kwin-wayland installed?): " + ec.message();
        return nullptr;
    }
    std::ofstream(config + "/kwinrc") << "[Desktops]\nNumber=" << options.desktops << "\nRows=1\n";
    // A key held while a loaded test is slow to release it must not repeat.
    std::ofstream(config + "/kcminputrc") << "[Keyboard]\nKeyRepeat=nothing\n";
    ::chmod(k->dir_.c_str(), 0755);
    ::chmod(run.c_str(), 0700);
    k->uid_ = uid;
    k->gid_ = gid;
    bool handed = handTo(home, *account) && handTo(run, *account);
    for (const auto& entry : fs::recursive_directory_iterator(home, ec))
        handed = handTo(entry.path(), *account) && handed;
    if (root && !handed) {
        error = "cannot hand the session's directories to " + std::string(kUser);
        return nullptr;
    }
    if (options.xwayland && !fs::exists("/tmp/.X11-unix")) {
        ::mkdir("/tmp/.X11-unix", 01777);
        ::chmod("/tmp/.X11-unix", 01777);
    }

    const std::string busSocket = k->dir_ + "/bus";
    std::ofstream(k->dir_ + "/bus.conf") << busConfig(busSocket, "session");
    k->busDaemon_ = Process::spawn({"dbus-daemon", "--config-file=" + k->dir_ + "/bus.conf", "--nofork",
                                    "--nopidfile", "--print-address"},
                                   {{}, false, true, true, -1});
    auto address = k->busDaemon_ ? k->busDaemon_->readLine(20s) : std::nullopt;
    if (!address || address->empty()) {
        error = "the session bus (dbus-daemon) did not report its address";
        return nullptr;
    }
    k->busAddress_ = *address;
    if (sd_bus_new(&k->bus_) < 0 || sd_bus_set_address(k->bus_, k->busAddress_.c_str()) < 0 ||
        sd_bus_set_bus_client(k->bus_, 1) < 0 || sd_bus_start(k->bus_) < 0) {
        error = "cannot connect to the session bus at " + k->busAddress_;
        return nullptr;
    }
    sd_bus_set_method_call_timeout(k->bus_, 10'000'000);
    static const sd_bus_vtable vtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("Report", "sss", "", &KWinReport::handle, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_VTABLE_END,
    };
    if (sd_bus_add_object_vtable(k->bus_, &k->slot_, "/", kInterface, vtable, k.get()) < 0) {
        error = "cannot export the harness's report method";
        return nullptr;
    }

    std::vector<std::string> args{binary,
                                  "--virtual",
                                  "--output-count",
                                  std::to_string(options.outputs),
                                  "--width",
                                  std::to_string(options.width),
                                  "--height",
                                  std::to_string(options.height),
                                  "--no-lockscreen",
                                  "--no-global-shortcuts",
                                  "--socket",
                                  kSocket};
    if (options.xwayland) args.push_back("--xwayland");
    Launch launch;
    launch.argv = args;
    launch.environment = {"HOME=" + home, "XDG_RUNTIME_DIR=" + run, "XDG_CONFIG_HOME=" + config,
                          "DBUS_SESSION_BUS_ADDRESS=" + k->busAddress_,
                          // The harness's tools speak protocols KWin keeps to programs it trusts.
                          "KWIN_WAYLAND_NO_PERMISSION_CHECKS=1"};
    launch.home = home;
    launch.output = std::getenv("TARVOLIN_KWIN_VERBOSE") ? "" : "/dev/null";
    if (!options.root.empty()) launch.inRoot(options.root, k->dir_, options.shared);
    k->pid_ = launchAs(launch, *account);
    if (k->pid_ < 0) {
        error = "fork failed";
        return nullptr;
    }

    const std::string socket = run + "/" + kSocket;
    const auto deadline = std::chrono::steady_clock::now() + kReadyTimeout;
    bool socketUp = false, named = false;
    while (std::chrono::steady_clock::now() < deadline && !(socketUp && named)) {
        if (!k->running()) {
            error = "kwin_wayland exited while starting (TARVOLIN_KWIN_VERBOSE=1 shows its messages)";
            return nullptr;
        }
        socketUp = socketUp || fs::exists(socket, ec);
        named = named || nameHasOwner(k->bus_, "org.kde.KWin");
        if (!(socketUp && named)) std::this_thread::sleep_for(20ms);
    }
    if (!socketUp || !named) {
        error = std::string("KWin did not become ready within 30 s: ") +
                (socketUp ? "org.kde.KWin never appeared on the bus" : "no Wayland socket " + socket);
        return nullptr;
    }
    k->waylandDisplay_ = socket;
    // Which windows KWin has shown: scripts see no such property on KWin 5, only the signal.
    const char* unique = nullptr;
    sd_bus_get_unique_name(k->bus_, &unique);
    // org.kde.KWin is on the bus a moment before its /Scripting is.
    while (!nameHasObject(k->bus_, "org.kde.KWin", "/Scripting") &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    if (k->loadScript("tarvolin-harness-watch",
                      std::string(kScriptPrelude) + "const report = (c) => callDBus(" +
                          json(unique ? unique : "").dump() + ", '/', '" + kInterface +
                          "', 'Report', 'shown', c.internalId.toString(), '');\n"
                          "(six ? workspace.windowAdded : workspace.clientAdded).connect((c) => {\n"
                          "    for (const shown of [c.windowShown, c.readyForPaintingChanged])\n"
                          "        if (shown) shown.connect(() => report(c));\n"
                          "    c.damaged.connect(() => callDBus(" +
                          json(unique ? unique : "").dump() + ", '/', '" + kInterface +
                          "', 'Report', 'drawn', c.internalId.toString(), ''));\n"
                          "    // KWin adds a Wayland window once it has shown it.\n"
                          "    if (!c.windowId) report(c);\n"
                          "});\n") < 0) {
        error = "KWin would not run the harness's script: " + k->lastError_;
        return nullptr;
    }
    if (options.xwayland) {
        while (k->xDisplay_.empty() && std::chrono::steady_clock::now() < deadline && k->running()) {
            k->xDisplay_ = xDisplayOf(k->pid_);
            if (k->xDisplay_.empty()) std::this_thread::sleep_for(20ms);
        }
        if (k->xDisplay_.empty()) {
            error = "KWin listens on no X display (TARVOLIN_KWIN_VERBOSE=1 shows its messages)";
            return nullptr;
        }
        if (root && !admitRootToXwayland(k->xDisplay_, uid, gid)) {
            error = "cannot let root's clients into Xwayland on " + k->xDisplay_;
            return nullptr;
        }
    }
    return k;
}

bool HeadlessKWin::running() { return childRunning(pid_); }

void HeadlessKWin::stop() { stopGroup(pid_); }

HeadlessKWin::~HeadlessKWin() {
    stop();
    sd_bus_slot_unref(slot_);
    sd_bus_flush_close_unref(bus_);
    busDaemon_.reset();
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
}

std::vector<std::string> HeadlessKWin::clientEnvironment() const {
    return {"DBUS_SESSION_BUS_ADDRESS=" + busAddress_, "WAYLAND_DISPLAY=" + waylandDisplay_,
            "DISPLAY=" + xDisplay_, "XDG_SESSION_TYPE=wayland", "SWAYSOCK"};
}

int KWinReport::handle(sd_bus_message* message, void* self, sd_bus_error*) {
    auto* k = static_cast<HeadlessKWin*>(self);
    const char *token = nullptr, *value = nullptr, *error = nullptr;
    if (sd_bus_message_read(message, "sss", &token, &value, &error) < 0) return -EINVAL;
    if (std::string_view(token) == "shown") k->shown_.insert(value);
    if (std::string_view(token) == "drawn") ++k->drawn_[value];
    // A script given up on may still report: only the awaited one counts.
    if (token == k->awaited_ && !k->reported_) {
        k->reported_ = true;
        k->reportValue_ = value;
        k->reportError_ = error;
    }
    return sd_bus_reply_method_return(message, "");
}

int HeadlessKWin::load(const std::string& path, const std::string& name) {
    sd_bus_error e{};  // SD_BUS_ERROR_NULL, without its C compound literal
    sd_bus_message* reply = nullptr;
    int id = -1;
    if (sd_bus_call_method(bus_, "org.kde.KWin", "/Scripting", "org.kde.kwin.Scripting", "loadScript", &e,
                           &reply, "ss", path.c_str(), name.c_str()) >= 0)
        sd_bus_message_read(reply, "i", &id);
    reply = sd_bus_message_unref(reply);
    // Not `run` on /ID: KWin numbers a script by the count of those loaded, so that may be another.
    if (id < 0 || sd_bus_call_method(bus_, "org.kde.KWin", "/Scripting", "org.kde.kwin.Scripting", "start",
                                     &e, nullptr, "") < 0) {
        lastError_ = std::string(id < 0 ? "KWin did not load the script" : "KWin did not start the script") +
                     (e.message ? std::string(": ") + e.message : "");
        id = -1;
    }
    sd_bus_error_free(&e);
    return id;
}

int HeadlessKWin::loadScript(const std::string& name, const std::string& body) {
    lastError_.clear();
    if (!bus_ || !running()) {
        lastError_ = "KWin is not running";
        return -1;
    }
    const std::string path = dir_ + "/scripts/" + name + ".js";
    std::ofstream(path) << body << "\n";
    ::chmod(path.c_str(), 0644);
    return load(path, name);  // KWin reads the file after `start` returns: it stays
}

bool HeadlessKWin::unloadScript(const std::string& name) {
    int unloaded = 0;
    sd_bus_message* reply = nullptr;
    if (bus_ && sd_bus_call_method(bus_, "org.kde.KWin", "/Scripting", "org.kde.kwin.Scripting",
                                   "unloadScript", nullptr, &reply, "s", name.c_str()) >= 0)
        sd_bus_message_read(reply, "b", &unloaded);
    sd_bus_message_unref(reply);
    return unloaded != 0;
}

json HeadlessKWin::runScript(const std::string& body) {
    lastError_.clear();
    if (!bus_ || !running()) {
        lastError_ = "KWin is not running";
        return nullptr;
    }
    const std::string name = "tarvolin-harness-" + std::to_string(++scripts_);
    const std::string path = dir_ + "/scripts/" + name + ".js";
    const char* unique = nullptr;
    sd_bus_get_unique_name(bus_, &unique);
    std::ofstream(path) << kScriptPrelude
                        << "(function () {\n"
                           "    var value = null, error = '', text = 'null';\n"
                           "    try { value = (function () {\n"
                        << body
                        << "\n    })(); } catch (e) { error = String(e); }\n"
                           "    try { text = JSON.stringify(value === undefined ? null : value); }\n"
                           "    catch (e) { error = error || String(e); }\n"
                           "    callDBus("
                        << json(unique ? unique : "").dump() << ", '/', '" << kInterface << "', 'Report', "
                        << json(name).dump() << ", text, error);\n})();\n";
    ::chmod(path.c_str(), 0644);
    awaited_ = name;
    reported_ = false;

    if (load(path, name) < 0) {
        fs::remove(path);
        awaited_.clear();
        return nullptr;
    }
    const auto deadline = std::chrono::steady_clock::now() + kScriptTimeout;
    while (lastError_.empty() && !reported_) {
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            lastError_ =
                "the script did not report within 10 s (its errors go to KWin's stderr: "
                "TARVOLIN_KWIN_VERBOSE=1)";
            break;
        }
        const int r = sd_bus_process(bus_, nullptr);
        if (r < 0) {
            lastError_ = "the session bus connection failed";
            break;
        }
        if (r == 0) sd_bus_wait(bus_, static_cast<std::uint64_t>(left.count()));
    }
    unloadScript(name);
    fs::remove(path);
    awaited_.clear();
    if (!lastError_.empty()) return nullptr;
    if (!reportError_.empty()) {
        lastError_ = "the script failed: " + reportError_;
        return nullptr;
    }
    json value = json::parse(reportValue_, nullptr, false);
    if (value.is_discarded()) {
        lastError_ = "the script reported no JSON: " + reportValue_;
        return nullptr;
    }
    return value;
}

bool HeadlessKWin::keys(const std::string& events, const std::string& drawnBy) {
    std::vector<std::string> words;
    std::istringstream in(events);
    for (std::string word; in >> word;) words.push_back(word);
    if (drawnBy.empty()) {
        words.insert(words.begin(), TARVOLIN_KWIN_KEYS);
        return runTool(words);
    }
    // One event at a time: a client handed keys faster than it draws loses some. Each press but
    // the last waits for the window to draw again.
    size_t lastPress = 0;
    for (size_t i = 0; i < words.size(); ++i)
        if (words[i][0] != '-') lastPress = i;
    for (size_t i = 0; i < words.size(); ++i) {
        const bool press = words[i][0] != '-';
        for (const std::string& event : press&& words[i][0] != '+'
                                            ? std::vector<std::string>{"+" + words[i], "-" + words[i]}
                                            : std::vector<std::string>{words[i]}) {
            const std::uint64_t drawn = drawn_[drawnBy];
            if (!runTool({TARVOLIN_KWIN_KEYS, event})) return false;
            if (event[0] == '-' || i == lastPress) continue;
            const auto end = std::chrono::steady_clock::now() + kScriptTimeout;
            while (drawn_[drawnBy] == drawn && std::chrono::steady_clock::now() < end) {
                if (sd_bus_process(bus_, nullptr) == 0) sd_bus_wait(bus_, 10'000);
            }
            if (drawn_[drawnBy] == drawn) {
                lastError_ = "window " + drawnBy + " did not draw after the key event " + event;
                return false;
            }
        }
    }
    return true;
}

std::uint64_t HeadlessKWin::framesDrawn(const std::string& internalId) {
    while (sd_bus_process(bus_, nullptr) > 0) {
    }
    return drawn_[internalId];
}

bool HeadlessKWin::setPrimaryOutput(const std::string& name) {
    return runTool({TARVOLIN_KWIN_OUTPUTS, name});
}

bool HeadlessKWin::runTool(std::vector<std::string> args) {
    lastError_.clear();
    if (!running()) {
        lastError_ = "KWin is not running";
        return false;
    }
    std::vector<char*> argp;
    for (auto& a : args) argp.push_back(a.data());
    argp.push_back(nullptr);
    std::string wayland = "WAYLAND_DISPLAY=" + waylandDisplay_, runtime = "XDG_RUNTIME_DIR=" + dir_ + "/run";
    // The objects KWin's output events create stay with libwayland when a tool ends: no leak of
    // the tools' own for a sanitizer build to report.
    std::string leaks = "ASAN_OPTIONS=detect_leaks=0";
    char* envp[] = {wayland.data(), runtime.data(), leaks.data(), nullptr};
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        lastError_ = "pipe failed";
        return false;
    }
    const bool root = ::geteuid() == 0;
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(out[1], 2);
        ::alarm(10);  // a KWin that stops answering fails the call instead of hanging it
        // As KWin's user: KWin finds a client's program through /proc, which it may read only then.
        if (root && (::setgroups(0, nullptr) != 0 || ::setgid(gid_) != 0 || ::setuid(uid_) != 0))
            ::_exit(126);
        ::execve(argp[0], argp.data(), envp);
        ::_exit(127);
    }
    ::close(out[1]);
    std::string message;
    char buf[256];
    for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;) message.append(buf, static_cast<size_t>(n));
    ::close(out[0]);
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        lastError_ = message.empty() ? args[0] + " failed" : message;
        return false;
    }
    return true;
}

json HeadlessKWin::windows() {
    json all = runScript(R"(
        return windowList().map((c) => {
            const g = c.frameGeometry;
            return {internalId: c.internalId.toString(), pid: c.pid, caption: c.caption,
                    resourceClass: String(c.resourceClass), resourceName: String(c.resourceName),
                    desktopFileName: c.desktopFileName,
                    frameGeometry: {x: g.x, y: g.y, width: g.width, height: g.height},
                    minimized: c.minimized, desktop: desktopOf(c), onAllDesktops: c.onAllDesktops,
                    active: c.active, normalWindow: c.normalWindow, specialWindow: c.specialWindow,
                    skipTaskbar: c.skipTaskbar};
        });)");
    for (json& w : all) w["shown"] = shown_.count(w.value("internalId", "")) > 0;
    return all;
}

int HeadlessKWin::currentDesktop() {
    const json v = runScript("return currentDesktop();");
    return v.is_number_integer() ? v.get<int>() : 0;
}

bool HeadlessKWin::setCurrentDesktop(int desktop) {
    const json v = runScript("setCurrentDesktop(" + std::to_string(desktop) + "); return currentDesktop();");
    return v.is_number_integer() && v.get<int>() == desktop;
}

bool HeadlessKWin::activate(const std::string& internalId) {
    const json v = runScript("const c = windowById(" + json(internalId).dump() +
                             ");\n"
                             "if (c) activate(c);\n"
                             "return !!c;");
    return v == true;
}

}  // namespace tarvolin::headless
