#include "HeadlessSway.h"

#include "SessionUser.h"

#include <nlohmann/json.hpp>

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
#include <thread>

namespace tarvolin::headless {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr auto kReadyTimeout = 20s;

std::optional<std::string> waylandSocketIn(const std::string& dir) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with("wayland-") && !name.ends_with(".lock") && entry.is_socket(ec))
            return entry.path().string();
    }
    return std::nullopt;
}

bool hasOutput(sway::Connection& c) {
    auto reply = c.request(sway::MessageType::getOutputs);
    if (!reply) return false;
    try {
        auto outputs = nlohmann::json::parse(*reply);
        return outputs.is_array() && !outputs.empty();
    } catch (const nlohmann::json::exception&) {
        return false;
    }
}

}  // namespace

std::unique_ptr<HeadlessSway> HeadlessSway::start(std::string& error) {
    const bool root = ::geteuid() == 0;
    const auto account = sessionAccount(kUser, "sway", error);
    if (!account) return nullptr;
    const uid_t uid = account->uid;
    const gid_t gid = account->gid;
    std::unique_ptr<HeadlessSway> s(new HeadlessSway());
    std::string pattern = (fs::temp_directory_path() / "tarvolin-sway-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        error = "cannot make a runtime directory for sway";
        return nullptr;
    }
    s->dir_ = pattern;
    const std::string config = s->dir_ + "/config";
    // No bar, no background, no key bindings: only the tree. Views of the app id
    // "floating" float from the start, as dialogs would. Xwayland starts for the first X client.
    std::ofstream(config) << "xwayland enable\nfor_window [app_id=\"^floating$\"] floating enable\n";
    if (root && (::chown(s->dir_.c_str(), uid, gid) != 0 || ::chown(config.c_str(), uid, gid) != 0)) {
        error = "cannot hand the runtime directory to " + std::string(kUser);
        return nullptr;
    }

    const pid_t parent = ::getpid();
    s->pid_ = ::fork();
    if (s->pid_ < 0) {
        error = "fork failed";
        return nullptr;
    }
    if (s->pid_ == 0) {
        if (root && (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)) ::_exit(126);
        // sway must not outlive whoever started it (set after setuid, which clears it).
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(1);
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "SWAYSOCK", "I3SOCK"}) ::unsetenv(name);
        ::setenv("XDG_RUNTIME_DIR", s->dir_.c_str(), 1);
        ::setenv("HOME", s->dir_.c_str(), 1);
        ::setenv("WLR_BACKENDS", "headless", 1);
        ::setenv("WLR_RENDERER", "pixman", 1);
        ::setenv("WLR_LIBINPUT_NO_DEVICES", "1", 1);
        if (!std::getenv("TARVOLIN_SWAY_VERBOSE")) {
            if (FILE* null = std::fopen("/dev/null", "w")) ::dup2(::fileno(null), 2);
        }
        ::execlp("sway", "sway", "-c", config.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }

    s->ipcSocket_ = s->dir_ + "/sway-ipc." + std::to_string(uid) + "." + std::to_string(s->pid_) + ".sock";
    const auto deadline = std::chrono::steady_clock::now() + kReadyTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!s->running()) {
            error = "sway exited while starting (TARVOLIN_SWAY_VERBOSE=1 shows its messages)";
            return nullptr;
        }
        std::string ignored;
        if (!s->ipc_ && fs::exists(s->ipcSocket_)) s->ipc_ = sway::Connection::open(s->ipcSocket_, ignored);
        auto wayland = waylandSocketIn(s->dir_);
        if (s->ipc_ && wayland && hasOutput(*s->ipc_)) {
            s->waylandDisplay_ = *wayland;
            // sway names its Xwayland display only in the environment of what it runs.
            const std::string file = s->dir_ + "/display";
            s->command("exec printf %s \"$DISPLAY\" >" + file + ".new && mv " + file + ".new " + file);
            while (!fs::exists(file) && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(5ms);
            std::getline(std::ifstream(file), s->xDisplay_);
            if (root && !s->xDisplay_.empty() && !admitRootToXwayland(s->xDisplay_, uid, gid))
                s->xDisplay_.clear();
            return s;
        }
        if (s->ipc_ && s->ipc_->broken()) s->ipc_.reset();
        std::this_thread::sleep_for(10ms);
    }
    error = "sway did not become ready within " + std::to_string(kReadyTimeout.count()) + " s";
    return nullptr;
}

bool HeadlessSway::running() { return childRunning(pid_); }

HeadlessSway::~HeadlessSway() {
    ipc_.reset();
    stopChild(pid_);
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
}

namespace {

void collectViews(const nlohmann::json& node, const std::string& workspace, nlohmann::json& out) {
    const std::string ws = node.value("type", "") == "workspace" ? node.value("name", "") : workspace;
    if (node.contains("pid") && node.value("nodes", nlohmann::json::array()).empty()) {
        out.push_back(node);
        out.back()["workspace"] = ws;
    }
    for (const char* key : {"nodes", "floating_nodes"})
        for (const auto& child : node.value(key, nlohmann::json::array())) collectViews(child, ws, out);
}

nlohmann::json parsed(const std::optional<std::string>& reply) {
    return nlohmann::json::parse(reply.value_or("null"), nullptr, false);
}

}  // namespace

nlohmann::json HeadlessSway::views() {
    auto out = nlohmann::json::array();
    auto tree = parsed(ipc_->request(sway::MessageType::getTree));
    if (tree.is_object()) collectViews(tree, "", out);
    return out;
}

std::string HeadlessSway::focusedWorkspace() {
    auto workspaces = parsed(ipc_->request(sway::MessageType::getWorkspaces));
    if (workspaces.is_array())
        for (const auto& w : workspaces)
            if (w.value("focused", false)) return w.value("name", "");
    return "";
}

bool HeadlessSway::command(const std::string& text) {
    auto results = parsed(ipc_->request(sway::MessageType::runCommand, text));
    return results.is_array() && !results.empty() && results[0].value("success", false);
}

std::vector<std::string> HeadlessSway::clientEnvironment() const {
    return {"SWAYSOCK=" + ipcSocket_, "WAYLAND_DISPLAY=" + waylandDisplay_, "DISPLAY=" + xDisplay_};
}

}  // namespace tarvolin::headless
