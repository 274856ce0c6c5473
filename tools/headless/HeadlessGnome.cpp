#include "HeadlessGnome.h"

#include "SessionUser.h"

#include "tools/headless/Process.h"

#include <systemd/sd-bus.h>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

namespace tarvolin::headless {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

// Under load (two cores, Xwayland, the tests' own builds) the Shell has been seen to take 10 s.
constexpr auto kReadyTimeout = 60s;
constexpr const char* kSocket = "wayland-0";
constexpr const char* kPath = "/org/tarvolin/Harness";
constexpr const char* kInterface = "org.tarvolin.Harness";
constexpr int kMaxKeyCode = 0x2ff;  // KEY_MAX of linux/input-event-codes.h

// Test-only: never part of the product. Eval runs the statements it is given as a function of
// `harness` and the Shell's modules (Main, ModalDialog, Meta, Shell, Clutter, GLib, Gio), alike
// in both styles of extension; its keyboard is made at start(): a virtual device takes no events
// right after its creation.
constexpr const char* kHarnessBody = R"js(
const IFACE = `<node><interface name="org.tarvolin.Harness">
  <method name="Eval"><arg type="s" direction="in"/><arg type="s" direction="out"/><arg type="s" direction="out"/></method>
</interface></node>`;

let exported = null;
const harness = {
    keyboard: null,
    keys(events) {
        const time = GLib.get_monotonic_time();
        events.forEach(([code, pressed], i) => this.keyboard.notify_key(time + i, code,
            pressed ? Clutter.KeyState.PRESSED : Clutter.KeyState.RELEASED));
        return true;
    },
};

function reply(invocation, value, error) {
    let text = 'null';
    try {
        text = JSON.stringify(value === undefined ? null : value) ?? 'null';
    } catch (e) {
        error = error || String(e);
    }
    invocation.return_value(new GLib.Variant('(ss)', [text, error]));
}

const service = {
    EvalAsync([body], invocation) {
        try {
            const value = new Function('harness', 'Main', 'ModalDialog', 'Meta', 'Shell', 'Clutter', 'GLib', 'Gio',
                body)(harness, Main, ModalDialog, Meta, Shell, Clutter, GLib, Gio);
            if (value instanceof Promise)
                value.then(v => reply(invocation, v, ''), e => reply(invocation, null, String(e)));
            else
                reply(invocation, value, '');
        } catch (e) {
            reply(invocation, null, String(e));
        }
    },
};

function start() {
    harness.keyboard = Clutter.get_default_backend().get_default_seat()
        .create_virtual_device(Clutter.InputDeviceType.KEYBOARD_DEVICE);
    exported = Gio.DBusExportedObject.wrapJSObject(IFACE, service);
    exported.export(Gio.DBus.session, '/org/tarvolin/Harness');
}

function stop() {
    exported?.unexport();
    exported = null;
    harness.keyboard = null;
}
)js";

// GNOME 43 and 44 load extensions in the imports style, 45 and later as ES modules.
constexpr const char* kHarnessLegacy = R"js(const { Clutter, Gio, GLib, Meta, Shell } = imports.gi;
const Main = imports.ui.main;
const ModalDialog = imports.ui.modalDialog;
)js";
constexpr const char* kHarnessLegacyEnd = R"js(
function init() {}
function enable() { start(); }
function disable() { stop(); }
)js";
constexpr const char* kHarnessModule = R"js(import Clutter from 'gi://Clutter';
import Gio from 'gi://Gio';
import GLib from 'gi://GLib';
import Meta from 'gi://Meta';
import Shell from 'gi://Shell';
import * as Main from 'resource:///org/gnome/shell/ui/main.js';
import * as ModalDialog from 'resource:///org/gnome/shell/ui/modalDialog.js';
import { Extension } from 'resource:///org/gnome/shell/extensions/extension.js';
)js";
constexpr const char* kHarnessModuleEnd = R"js(
export default class HarnessExtension extends Extension {
    enable() { start(); }
    disable() { stop(); }
}
)js";

// UUIDs go into a GVariant string list: only characters that need no quoting there.
bool plainUuid(const std::string& uuid) {
    return !uuid.empty() && std::all_of(uuid.begin(), uuid.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '@' || c == '.' || c == '_' || c == '-';
    });
}

std::string keyfile(const std::vector<std::string>& enabled, int workspaces) {
    std::string list;
    for (const auto& uuid : enabled) list += (list.empty() ? "'" : ", '") + uuid + "'";
    // No welcome dialog (it would take the keyboard), no animations (tests wait less, the CPU
    // works less), no lock screen.
    return "[org/gnome/shell]\nenabled-extensions=[" + list +
           "]\ndisable-user-extensions=false\nwelcome-dialog-last-shown-version='999'\n\n"
           "[org/gnome/mutter]\ndynamic-workspaces=false\n\n"
           "[org/gnome/desktop/wm/preferences]\nnum-workspaces=" +
           std::to_string(workspaces) +
           "\n\n"
           "[org/gnome/desktop/interface]\nenable-animations=false\n\n"
           "[org/gnome/desktop/session]\nidle-delay=uint32 0\n\n"
           "[org/gnome/desktop/screensaver]\nlock-enabled=false\n";
}

std::string busError(const char* what, const sd_bus_error& e) {
    return std::string(what) + (e.message ? std::string(": ") + e.message : "");
}

// One value of an a{sv} as JSON; the reader is at the variant. Types GetExtensionInfo does not
// send become null.
std::optional<json> variantValue(sd_bus_message* m) {
    char type = 0;
    const char* contents = nullptr;
    if (sd_bus_message_peek_type(m, &type, &contents) < 0 ||
        sd_bus_message_enter_container(m, 'v', contents) < 0)
        return std::nullopt;
    std::optional<json> value;
    const std::string sig = contents ? contents : "";
    if (sig == "s") {
        const char* s = nullptr;
        if (sd_bus_message_read(m, "s", &s) >= 0) value = s;
    } else if (sig == "d") {
        double d = 0;
        if (sd_bus_message_read(m, "d", &d) >= 0) value = d;
    } else if (sig == "b") {
        int b = 0;
        if (sd_bus_message_read(m, "b", &b) >= 0) value = b != 0;
    } else if (sig == "i") {
        std::int32_t i = 0;
        if (sd_bus_message_read(m, "i", &i) >= 0) value = i;
    } else if (sig == "u") {
        std::uint32_t u = 0;
        if (sd_bus_message_read(m, "u", &u) >= 0) value = u;
    } else if (sig == "as") {
        char** strv = nullptr;
        if (sd_bus_message_read_strv(m, &strv) >= 0) {
            value = json::array();
            for (char** s = strv; s && *s; ++s) value->push_back(*s), std::free(*s);
            std::free(strv);
        }
    } else {
        sd_bus_message_skip(m, contents);
        value = nullptr;
    }
    if (sd_bus_message_exit_container(m) < 0) return std::nullopt;
    return value;
}

}  // namespace

std::unique_ptr<HeadlessGnome> HeadlessGnome::start(std::string& error, const Options& options) {
    if (options.width <= 0 || options.height <= 0 || options.workspaces < 1 || options.workspaces > 36) {
        error = "bad options: the size must be positive and workspaces 1 to 36";
        return nullptr;
    }
    std::vector<std::pair<std::string, std::string>> extensions;  // UUID, directory
    std::set<std::string> uuids{kHarnessUuid, kHarnessUuidLegacy};
    for (const auto& dir : options.extensions) {
        fs::path path = fs::path(dir).lexically_normal();
        if (!path.has_filename()) path = path.parent_path();
        const std::string uuid = path.filename().string();
        std::error_code ec;
        if (!fs::is_regular_file(path / "metadata.json", ec)) {
            error = "not an extension (no metadata.json): " + dir;
            return nullptr;
        }
        if (!plainUuid(uuid) || !uuids.insert(uuid).second) {
            error = "bad or repeated extension UUID (the directory's name): " + uuid;
            return nullptr;
        }
        extensions.emplace_back(uuid, path.string());
    }
    for (const auto& uuid : options.disabled)
        if (uuid == kHarnessUuid || uuid == kHarnessUuidLegacy || !uuids.contains(uuid)) {
            error = "a disabled extension that is not installed: " + uuid;
            return nullptr;
        }

    const bool root = ::geteuid() == 0;
    const auto account = sessionAccount(kUser, "GNOME Shell", error);
    if (!account) return nullptr;
    std::unique_ptr<HeadlessGnome> g(new HeadlessGnome());
    std::string pattern = (fs::temp_directory_path() / "tarvolin-gnome-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        error = "cannot make a directory for GNOME Shell";
        return nullptr;
    }
    g->dir_ = pattern;
    g->home_ = g->dir_ + "/home";
    const std::string& home = g->home_;
    const std::string run = g->dir_ + "/run", config = home + "/.config";
    const std::string installed = home + "/.local/share/gnome-shell/extensions";
    std::error_code ec;
    fs::create_directories(config + "/glib-2.0/settings", ec);
    fs::create_directories(run, ec);
    fs::create_directories(installed, ec);
    std::vector<std::string> enabled{kHarnessUuidLegacy, kHarnessUuid};
    for (const auto& uuid : options.systemExtensions)
        if (plainUuid(uuid)) enabled.push_back(uuid);
    for (const auto& [uuid, dir] : extensions) {
        fs::copy(dir, installed + "/" + uuid, fs::copy_options::recursive, ec);
        if (ec) {
            error = "cannot copy the extension " + dir + ": " + ec.message();
            return nullptr;
        }
        if (std::find(options.disabled.begin(), options.disabled.end(), uuid) == options.disabled.end())
            enabled.push_back(uuid);
    }
    // Both styles: the Shell loads the one for its version.
    for (const auto& [uuid, versions, text] :
         {std::tuple{kHarnessUuidLegacy, json{"43", "44"},
                     std::string(kHarnessLegacy) + kHarnessBody + kHarnessLegacyEnd},
          std::tuple{kHarnessUuid, json{"45", "46", "47", "48", "49"},
                     std::string(kHarnessModule) + kHarnessBody + kHarnessModuleEnd}}) {
        fs::create_directories(installed + "/" + uuid, ec);
        std::ofstream(installed + "/" + uuid + "/metadata.json") << json{
            {"uuid", uuid},
            {"name", "Tarvolin test harness"},
            {"description", "The headless test harness's look into the Shell"},
            {"shell-version", versions}}.dump();
        std::ofstream(installed + "/" + uuid + "/extension.js") << text;
    }
    std::ofstream(config + "/glib-2.0/settings/keyfile") << keyfile(enabled, options.workspaces);
    ::chmod(g->dir_.c_str(), 0755);
    ::chmod(run.c_str(), 0700);
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

    std::string systemBus;
    for (const char* type : {"system", "session"}) {
        const std::string name = std::string(type) + "-bus";
        std::ofstream(g->dir_ + "/" + name + ".conf") << busConfig(g->dir_ + "/" + name, type);
        auto daemon = Process::spawn({"dbus-daemon", "--config-file=" + g->dir_ + "/" + name + ".conf",
                                      "--nofork", "--nopidfile", "--print-address"},
                                     {{}, false, true, true, -1});
        auto address = daemon ? daemon->readLine(20s) : std::nullopt;
        if (!address || address->empty()) {
            error = "the " + std::string(type) + " bus (dbus-daemon) did not report its address";
            return nullptr;
        }
        (type == std::string("system") ? g->systemBusDaemon_ : g->busDaemon_) = std::move(daemon);
        (type == std::string("system") ? systemBus : g->busAddress_) = *address;
    }
    if (sd_bus_new(&g->bus_) < 0 || sd_bus_set_address(g->bus_, g->busAddress_.c_str()) < 0 ||
        sd_bus_set_bus_client(g->bus_, 1) < 0 || sd_bus_start(g->bus_) < 0) {
        error = "cannot connect to the session bus at " + g->busAddress_;
        return nullptr;
    }
    sd_bus_set_method_call_timeout(g->bus_, 10'000'000);

    std::vector<std::string> args{"/usr/bin/gnome-shell",
                                  "--headless",
                                  "--wayland",
                                  "--wayland-display=" + std::string(kSocket),
                                  "--virtual-monitor",
                                  std::to_string(options.width) + "x" + std::to_string(options.height)};
    if (!options.xwayland) args.push_back("--no-x11");
    Launch launch;
    launch.argv = args;
    launch.environment = {"HOME=" + home,
                          "XDG_RUNTIME_DIR=" + run,
                          "XDG_CONFIG_HOME=" + config,
                          "XDG_DATA_HOME=" + home + "/.local/share",
                          "XDG_CACHE_HOME=" + home + "/.cache",
                          "GSETTINGS_BACKEND=keyfile",
                          "DBUS_SESSION_BUS_ADDRESS=" + g->busAddress_,
                          "DBUS_SYSTEM_BUS_ADDRESS=" + systemBus,
                          "NO_AT_BRIDGE=1"};
    launch.home = home;
    launch.output = std::getenv("TARVOLIN_GNOME_VERBOSE") ? "" : g->dir_ + "/shell.log";
    launch.noCoreDump = true;  // it crashes on every SIGTERM: no core dump for that
    if (!options.root.empty()) launch.inRoot(options.root, g->dir_, options.shared);
    g->pid_ = launchAs(launch, *account);
    if (g->pid_ < 0) {
        error = "fork failed";
        return nullptr;
    }

    // The harness's extension answers once the Shell has enabled its extensions; the overview it
    // opens at the end of its start up is closed then, else windows mapped later get no focus.
    const std::string probe = R"(
        if (Main.layoutManager._startingUp) return null;
        if (Main.overview.visible || Main.overview.animationInProgress) {
            Main.overview.hide();
            return null;
        }
        return {display: GLib.getenv('DISPLAY') || '', xauthority: GLib.getenv('XAUTHORITY') || ''};)";
    const std::string socket = run + "/" + kSocket;
    const auto deadline = std::chrono::steady_clock::now() + kReadyTimeout;
    bool socketUp = false, named = false;
    json ready;
    std::string last;
    while (std::chrono::steady_clock::now() < deadline && !ready.is_object()) {
        if (!g->running()) {
            error = "gnome-shell exited while starting (TARVOLIN_GNOME_VERBOSE=1 shows its messages)";
            return nullptr;
        }
        socketUp = socketUp || fs::exists(socket, ec);
        named = named || nameHasOwner(g->bus_, "org.gnome.Shell");
        if (socketUp && named) {
            ready = g->eval(probe);
            if (!g->lastError_.empty()) last = g->lastError_;
        }
        if (!ready.is_object()) std::this_thread::sleep_for(50ms);
    }
    if (!ready.is_object()) {
        error = "GNOME Shell did not become ready within 60 s: " +
                (!socketUp      ? "no Wayland socket " + socket
                 : !named       ? std::string("org.gnome.Shell never appeared on the bus")
                 : last.empty() ? std::string("its overview stayed open")
                                : "the harness's extension did not answer (" + last + ")");
        return nullptr;
    }
    g->waylandDisplay_ = socket;
    if (options.xwayland) {
        g->xDisplay_ = ready.value("display", "");
        g->xAuthority_ = ready.value("xauthority", "");
        if (g->xDisplay_.empty() || g->xAuthority_.empty()) {
            error = "GNOME Shell started no Xwayland (TARVOLIN_GNOME_VERBOSE=1 shows its messages)";
            return nullptr;
        }
    }
    g->lastError_.clear();
    return g;
}

bool HeadlessGnome::running() { return childRunning(pid_); }

void HeadlessGnome::stop() { stopGroup(pid_); }

HeadlessGnome::~HeadlessGnome() {
    stop();
    sd_bus_flush_close_unref(bus_);
    busDaemon_.reset();
    systemBusDaemon_.reset();
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
}

std::vector<std::string> HeadlessGnome::clientEnvironment() const {
    const bool x = !xDisplay_.empty();
    return {"DBUS_SESSION_BUS_ADDRESS=" + busAddress_,
            "WAYLAND_DISPLAY=" + waylandDisplay_,
            x ? "DISPLAY=" + xDisplay_ : "DISPLAY",
            x ? "XAUTHORITY=" + xAuthority_ : "XAUTHORITY",
            "XDG_SESSION_TYPE=wayland",
            "XDG_CURRENT_DESKTOP=GNOME",
            "NO_AT_BRIDGE=1",
            "SWAYSOCK",
            "I3SOCK",
            "GDK_BACKEND"};
}

std::string HeadlessGnome::log() const {
    std::ifstream in(dir_ + "/shell.log");
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

json HeadlessGnome::eval(const std::string& body) {
    lastError_.clear();
    if (!bus_ || !running()) {
        lastError_ = "GNOME Shell is not running";
        return nullptr;
    }
    sd_bus_error e{};  // SD_BUS_ERROR_NULL, without its C compound literal
    sd_bus_message* reply = nullptr;
    const char *text = nullptr, *failure = nullptr;
    json value;
    if (sd_bus_call_method(bus_, "org.gnome.Shell", kPath, kInterface, "Eval", &e, &reply, "s",
                           body.c_str()) < 0 ||
        sd_bus_message_read(reply, "ss", &text, &failure) < 0)
        lastError_ = busError("the Shell did not evaluate it", e);
    else if (*failure)
        lastError_ = std::string("the script failed: ") + failure;
    else if (value = json::parse(text, nullptr, false); value.is_discarded())
        lastError_ = std::string("the script returned no JSON: ") + text;
    sd_bus_message_unref(reply);
    sd_bus_error_free(&e);
    return lastError_.empty() ? value : json();
}

json HeadlessGnome::windows() {
    return eval(R"(
        const tracker = Shell.WindowTracker.get_default();
        return global.display.list_all_windows()
            .filter(w => !w.is_override_redirect() && w.get_window_type() === Meta.WindowType.NORMAL)
            .map(w => {
                const app = tracker.get_window_app(w), f = w.get_frame_rect(), ws = w.get_workspace();
                return {id: String(w.get_id()), stableSequence: w.get_stable_sequence(), pid: w.get_pid(),
                        title: w.get_title(), wmClass: w.get_wm_class(),
                        app: app ? app.get_id() : null, appName: app ? app.get_name() : null,
                        frame: {x: f.x, y: f.y, w: f.width, h: f.height}, minimized: w.minimized,
                        workspace: w.is_on_all_workspaces() || !ws ? -1 : ws.index(),
                        focused: w.has_focus()};
            });)");
}

int HeadlessGnome::activeWorkspace() {
    const json v = eval("return global.workspace_manager.get_active_workspace_index();");
    return v.is_number_integer() ? v.get<int>() : -1;
}

bool HeadlessGnome::setActiveWorkspace(int index) {
    if (index < 0) {
        lastError_ = "no workspace " + std::to_string(index);
        return false;
    }
    const json v =
        eval("const m = global.workspace_manager, ws = m.get_workspace_by_index(" + std::to_string(index) +
             ");\n"
             "if (!ws) return false;\n"
             "ws.activate(global.display.get_current_time_roundtrip());\n"
             "return m.get_active_workspace_index() === ws.index();");
    if (v != true && lastError_.empty())
        lastError_ = "no workspace " + std::to_string(index) + ", or it stayed inactive";
    return v == true;
}

bool HeadlessGnome::activate(const std::string& id) {
    const json v = eval(
        "const w = global.display.list_all_windows().find(w => String(w.get_id()) === " + json(id).dump() +
        ");\n"
        "if (!w) return false;\n"
        "Main.activateWindow(w, global.display.get_current_time_roundtrip());\n"
        "return true;");
    if (v != true && lastError_.empty()) lastError_ = "no window " + id;
    return v == true;
}

json HeadlessGnome::extensionInfo(const std::string& uuid) {
    lastError_.clear();
    if (!bus_ || !running()) {
        lastError_ = "GNOME Shell is not running";
        return nullptr;
    }
    sd_bus_error e{};  // SD_BUS_ERROR_NULL, without its C compound literal
    sd_bus_message* reply = nullptr;
    json info = json::object();
    if (sd_bus_call_method(bus_, "org.gnome.Shell", "/org/gnome/Shell", "org.gnome.Shell.Extensions",
                           "GetExtensionInfo", &e, &reply, "s", uuid.c_str()) < 0 ||
        sd_bus_message_enter_container(reply, 'a', "{sv}") < 0) {
        lastError_ = busError("GetExtensionInfo failed", e);
    } else {
        int r = 0;
        while (lastError_.empty() && (r = sd_bus_message_enter_container(reply, 'e', "sv")) > 0) {
            const char* key = nullptr;
            std::optional<json> value;
            if (sd_bus_message_read(reply, "s", &key) < 0 || !(value = variantValue(reply)) ||
                sd_bus_message_exit_container(reply) < 0)
                lastError_ = "GetExtensionInfo sent a malformed reply";
            else
                info[key] = *value;
        }
        if (r < 0) lastError_ = "GetExtensionInfo sent a malformed reply";
    }
    sd_bus_message_unref(reply);
    sd_bus_error_free(&e);
    return lastError_.empty() ? info : json();
}

bool HeadlessGnome::keys(const std::string& events) {
    lastError_.clear();
    json list = json::array();
    std::istringstream words(events);
    for (std::string word; words >> word;) {
        const char sign = word[0] == '+' || word[0] == '-' ? word[0] : 0;
        const std::string digits = sign ? word.substr(1) : word;
        int code = 0;
        const bool number =
            !digits.empty() && digits.size() <= 4 &&
            std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isdigit(c); });
        if (number) code = std::stoi(digits);
        if (!number || code < 1 || code > kMaxKeyCode) {
            lastError_ = "not a key event: " + word + " (a Linux key code, pressed with +, released with -)";
            return false;
        }
        if (sign != '-') list.push_back({code, true});
        if (sign != '+') list.push_back({code, false});
    }
    if (list.empty()) {
        lastError_ = "no key events given";
        return false;
    }
    return eval("return harness.keys(" + list.dump() + ");") == true;
}

}  // namespace tarvolin::headless
