#include "SessionUser.h"

#include "platform/linux/session/UniqueFd.h"

#include <systemd/sd-bus.h>

#include <xcb/xcb.h>

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

namespace tarvolin::headless {

namespace {

// Runs a command to its end; its exit status, or -1.
int runToEnd(std::vector<std::string> argv) {
    const pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        std::vector<char*> args;
        for (auto& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

std::optional<Account> sessionAccount(const char* name, const char* purpose, std::string& error) {
    if (::geteuid() != 0) return Account{::geteuid(), ::getegid()};
    if (!::getpwnam(name))
        runToEnd({"useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin", name});
    // Another process may have made it at the same time: the account is what counts.
    if (const passwd* pw = ::getpwnam(name)) return Account{pw->pw_uid, pw->pw_gid};
    error = std::string("cannot create the user ") + name + " for " + purpose;
    return std::nullopt;
}

bool admitRootToXwayland(const std::string& display, uid_t uid, gid_t gid) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) ::_exit(126);
        ::alarm(10);  // an Xwayland that never answers fails the start instead of hanging it
        xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
        static const char root[] = "localuser\0root";
        auto* error = xcb_request_check(
            c, xcb_change_hosts_checked(c, XCB_HOST_MODE_INSERT, XCB_FAMILY_SERVER_INTERPRETED,
                                        sizeof root - 1, reinterpret_cast<const std::uint8_t*>(root)));
        ::_exit(xcb_connection_has_error(c) || error ? 1 : 0);
    }
    int status = 0;
    return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string busConfig(const std::string& socket, const std::string& type) {
    return "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig>\n"
           "  <type>" +
           type +
           "</type>\n"
           "  <listen>unix:path=" +
           socket +
           "</listen>\n"
           "  <auth>EXTERNAL</auth>\n"
           "  <policy context=\"default\">\n"
           "    <allow user=\"*\"/>\n"
           "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
           "    <allow eavesdrop=\"true\"/>\n"
           "    <allow own=\"*\"/>\n"
           "  </policy>\n"
           "</busconfig>\n";
}

bool childRunning(pid_t& pid) {
    if (pid <= 0) return false;
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == 0) return true;
    pid = -1;
    return false;
}

void stopChild(pid_t& pid) {
    if (!childRunning(pid)) return;
    ::kill(pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (childRunning(pid) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (childRunning(pid)) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        pid = -1;
    }
}

bool nameHasOwner(sd_bus* bus, const char* name) {
    sd_bus_error e{};  // SD_BUS_ERROR_NULL, without its C compound literal
    sd_bus_message* reply = nullptr;
    int has = 0;
    if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                           "NameHasOwner", &e, &reply, "s", name) >= 0)
        sd_bus_message_read(reply, "b", &has);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&e);
    return has != 0;
}

void stopGroup(pid_t& pid) {
    if (pid <= 0) return;
    const pid_t group = pid;
    stopChild(pid);
    ::kill(-group, SIGKILL);
}

bool handTo(const std::string& path, const Account& to) { return ::chown(path.c_str(), to.uid, to.gid) == 0; }

namespace {

// The mounts that make a Debian root the child's own, all prepared before fork.
struct RootMounts {
    std::string top, overlay, proc, dev, sys, x11;
    std::vector<std::string> folders;                        // made inside, parents first
    std::vector<std::pair<std::string, std::string>> binds;  // from, to

    explicit RootMounts(const Launch& launch) {
        if (launch.root.empty()) return;
        top = launch.scratch + "/top";
        for (const char* layer : {"/top", "/upper", "/work"}) ::mkdir((launch.scratch + layer).c_str(), 0755);
        overlay = "lowerdir=" + launch.root + ",upperdir=" + launch.scratch +
                  "/upper,workdir=" + launch.scratch + "/work";
        proc = top + "/proc";
        dev = top + "/dev";
        sys = top + "/sys";
        x11 = top + "/tmp/.X11-unix";
        for (const std::string& dir : launch.shared) {
            for (auto slash = dir.find('/', 1); slash != std::string::npos; slash = dir.find('/', slash + 1))
                folders.push_back(top + dir.substr(0, slash));
            folders.push_back(top + dir);
            binds.emplace_back(dir, top + dir);
        }
        for (const char* file : {"/etc/passwd", "/etc/group"}) binds.emplace_back(file, top + file);
    }

    // In the child, before it gives up root: false when a mount fails.
    bool enter() const {
        if (top.empty()) return true;
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("overlay", top.c_str(), "overlay", 0, overlay.c_str()) != 0 ||
            ::mount("proc", proc.c_str(), "proc", 0, nullptr) != 0 ||
            ::mount("/dev", dev.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0 ||
            // libsystemd finds a process's cgroup through it (GNOME Shell 48 asks its own).
            ::mount("/sys", sys.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
            return false;
        for (const std::string& folder : folders) ::mkdir(folder.c_str(), 0755);
        for (const auto& [from, to] : binds)
            if (::mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr) != 0) return false;
        // Xwayland's sockets: its own, and abstract ones shared with ours.
        ::mkdir(x11.c_str(), 01777);
        ::chmod(x11.c_str(), 01777);
        return ::chroot(top.c_str()) == 0;
    }
};

}  // namespace

void Launch::inRoot(const std::string& rootDir, const std::string& dir, std::vector<std::string> more) {
    root = rootDir;
    scratch = dir + "/overlay";
    ::mkdir(scratch.c_str(), 0755);
    shared = std::move(more);
    shared.push_back(dir);
}

pid_t launchAs(const Launch& launch, const Account& as) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e, name = entry.substr(0, entry.find('='));
        if (name.starts_with("XDG_") || name.starts_with("DBUS_") || name.starts_with("GDK_") ||
            name.starts_with("GSETTINGS_") || name == "HOME" || name == "DISPLAY" ||
            name == "WAYLAND_DISPLAY" || name == "SWAYSOCK" || name == "I3SOCK" || name == "XAUTHORITY")
            continue;
        env.push_back(entry);
    }
    env.insert(env.end(), launch.environment.begin(), launch.environment.end());
    // Everything is prepared before fork: the child only calls async-signal-safe functions.
    std::vector<std::string> args = launch.argv;
    std::vector<char*> argp, envp;
    for (auto& a : args) argp.push_back(a.data());
    argp.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    const bool root = ::geteuid() == 0;
    // Opened here, as we are: the compositor's user may not write where its output goes.
    const UniqueFd output(launch.output.empty() ? -1
                                                : ::open(launch.output.c_str(),
                                                         O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    const RootMounts mounts(launch);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid != 0) {
        if (pid > 0) ::setpgid(pid, pid);
        return pid < 0 ? -1 : pid;
    }
    ::setpgid(0, 0);
    if (!mounts.enter()) ::_exit(125);
    if (root && (::setgroups(0, nullptr) != 0 || ::setgid(as.gid) != 0 || ::setuid(as.uid) != 0))
        ::_exit(126);
    // It must not outlive whoever started it (set after setuid, which clears it).
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(1);
    if (launch.noCoreDump) {
        const rlimit none{0, 0};
        ::setrlimit(RLIMIT_CORE, &none);
    }
    if (::chdir(launch.home.c_str()) != 0) ::_exit(126);
    if (output) ::dup2(output.get(), 1), ::dup2(output.get(), 2);
    ::execve(argp[0], argp.data(), envp.data());
    ::_exit(127);
}

}  // namespace tarvolin::headless
