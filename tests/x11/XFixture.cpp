#include "XFixture.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#ifndef TARVOLIN_X11_CLIENT
#error "TARVOLIN_X11_CLIENT must name the test client program"
#endif

extern char** environ;

namespace tarvolin::testing {

namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(std::min<long long>(left, 60000));
}

template <class T>
struct Freed {
    T* p;
    explicit Freed(T* ptr) : p(ptr) {}
    ~Freed() { std::free(p); }
    Freed(const Freed&) = delete;
    Freed& operator=(const Freed&) = delete;
    T* operator->() const { return p; }
    explicit operator bool() const { return p != nullptr; }
};

}  // namespace

std::unique_ptr<Child> Child::spawn(const std::vector<std::string>& argv, const Options& options) {
    int in[2] = {-1, -1}, out[2] = {-1, -1};
    if (options.pipeStdin && pipe2(in, O_CLOEXEC) != 0) return nullptr;
    if (options.pipeStdout && pipe2(out, O_CLOEXEC) != 0) return nullptr;

    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('='));
        bool replaced = std::any_of(options.env.begin(), options.env.end(),
                                    [&](const std::string& o) { return o.substr(0, o.find('=')) == name; });
        if (!replaced) env.push_back(entry);
    }
    env.insert(env.end(), options.env.begin(), options.env.end());
    std::vector<char*> envp, args;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argvCopy = argv;
    for (auto& a : argvCopy) args.push_back(a.data());
    args.push_back(nullptr);
    const bool quiet = options.quiet && !std::getenv("TARVOLIN_X11_TEST_VERBOSE");

    // A client that exits early closes its stdin: writing to it must not kill the tests.
    signal(SIGPIPE, SIG_IGN);
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) return nullptr;
    if (pid == 0) {
        // Nothing outlives a test binary that crashes.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        if (options.pipeStdin) dup2(in[0], STDIN_FILENO);
        if (options.pipeStdout) dup2(out[1], STDOUT_FILENO);
        if (quiet) {
            int devnull = open("/dev/null", O_WRONLY);
            if (devnull >= 0) dup2(devnull, STDERR_FILENO);
        }
        if (options.inheritFd >= 0) fcntl(options.inheritFd, F_SETFD, 0);
        setpgid(0, 0);  // a stray signal to the test's group leaves it alone
        execvpe(args[0], args.data(), envp.data());
        _exit(127);
    }
    std::unique_ptr<Child> child(new Child());
    child->pid_ = pid;
    if (options.pipeStdin) {
        close(in[0]);
        child->in_ = in[1];
    }
    if (options.pipeStdout) {
        close(out[1]);
        child->out_ = out[0];
    }
    child->pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    return child;
}

Child::~Child() {
    stop();
    if (in_ >= 0) close(in_);
    if (out_ >= 0) close(out_);
    if (pidfd_ >= 0) close(pidfd_);
}

std::optional<std::string> Child::readLine(std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        if (auto nl = buffered_.find('\n'); nl != std::string::npos) {
            std::string line = buffered_.substr(0, nl);
            buffered_.erase(0, nl + 1);
            return line;
        }
        if (out_ < 0) return std::nullopt;
        pollfd p{out_, POLLIN, 0};
        int r = poll(&p, 1, remainingMs(deadline));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return std::nullopt;
        char buf[4096];
        ssize_t n = read(out_, buf, sizeof buf);
        if (n <= 0) return std::nullopt;
        buffered_.append(buf, static_cast<size_t>(n));
    }
}

bool Child::writeLine(const std::string& line) {
    if (in_ < 0) return false;
    std::string text = line + "\n";
    return write(in_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

std::optional<int> Child::wait(std::chrono::milliseconds timeout) {
    if (reaped_) return status_;
    auto deadline = Clock::now() + timeout;
    for (;;) {
        pid_t r = waitpid(pid_, &status_, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            return status_;
        }
        if (r < 0 && errno != EINTR) return std::nullopt;
        if (Clock::now() >= deadline) return std::nullopt;
        if (pidfd_ >= 0) {
            pollfd p{pidfd_, POLLIN, 0};
            poll(&p, 1, remainingMs(deadline));
        } else {
            // Without pidfds the only way to wait with a deadline is to look again shortly.
            usleep(2000);
        }
    }
}

bool Child::running() { return !reaped_ && !wait(0ms); }

void Child::stop() {
    if (reaped_ || pid_ <= 0) return;
    kill(pid_, SIGTERM);
    if (!wait(5s)) {
        kill(pid_, SIGKILL);
        wait(5s);
    }
}

std::unique_ptr<XSession> XSession::start(std::string& error, bool windowManager) {
    std::unique_ptr<XSession> s(new XSession());
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        error = "pipe failed";
        return nullptr;
    }
    Child::Options xo;
    xo.inheritFd = fds[1];
    s->xvfb_ = Child::spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "1280x1024x24",
                             "-nolisten", "tcp", "-noreset"},
                            xo);
    close(fds[1]);
    if (!s->xvfb_) {
        close(fds[0]);
        error = "cannot start Xvfb";
        return nullptr;
    }
    // Xvfb writes the display number once it accepts connections.
    std::string number;
    auto deadline = Clock::now() + 20s;
    while (number.find('\n') == std::string::npos) {
        pollfd p{fds[0], POLLIN, 0};
        if (poll(&p, 1, remainingMs(deadline)) <= 0) break;
        char buf[32];
        ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0) break;
        number.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    if (number.find('\n') == std::string::npos) {
        error = "Xvfb did not report its display";
        return nullptr;
    }
    s->display_ = ":" + number.substr(0, number.find('\n'));

    s->c_ = xcb_connect(s->display_.c_str(), nullptr);
    if (xcb_connection_has_error(s->c_)) {
        error = "cannot connect to " + s->display_;
        return nullptr;
    }
    s->root_ = xcb_setup_roots_iterator(xcb_get_setup(s->c_)).data->root;
    // Root properties, and frames that move, map or go: what the waits look at.
    const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(s->c_, s->root_, XCB_CW_EVENT_MASK, &mask);
    s->sync();
    if (!windowManager) return s;

    Child::Options wo;
    wo.env = {"DISPLAY=" + s->display_};
    s->wm_ = Child::spawn({"openbox", "--sm-disable"}, wo);
    if (!s->wm_) {
        error = "cannot start openbox";
        return nullptr;
    }
    if (!s->waitFor(
            [&] {
                return !s->cardinals(s->root_, "_NET_SUPPORTING_WM_CHECK").empty() &&
                       !s->cardinals(s->root_, "_NET_SUPPORTED").empty();
            },
            20s)) {
        error = "openbox did not come up";
        return nullptr;
    }
    // The properties go up before openbox handles its first map request: a probe
    // window that gets managed (mapped again until it is) proves it does now.
    bool ready = false;
    for (int attempt = 0; attempt < 80 && !ready; ++attempt) {
        xcb_window_t probe = xcb_generate_id(s->c_);
        const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(s->c_)).data;
        xcb_create_window(s->c_, XCB_COPY_FROM_PARENT, probe, s->root_, 0, 0, 10, 10, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, 0, nullptr);
        xcb_map_window(s->c_, probe);
        s->sync();
        ready = s->waitFor([&] { return s->managed(probe); }, 250ms);
        if (std::getenv("TARVOLIN_X11_TEST_VERBOSE"))
            std::fprintf(stderr, "probe %d: %s\n", attempt, ready ? "managed" : "not managed");
        xcb_destroy_window(s->c_, probe);
        s->sync();
    }
    if (!ready) {
        error = "openbox does not manage windows";
        return nullptr;
    }
    return s;
}

void XSession::stopServer() {
    if (c_) xcb_disconnect(c_);
    c_ = nullptr;
    wm_.reset();
    xvfb_.reset();
}

XSession::~XSession() {
    if (c_) xcb_disconnect(c_);
    wm_.reset();
    xvfb_.reset();
}

void XSession::sync() { std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr)); }

xcb_atom_t XSession::atom(const char* name) {
    Freed<xcb_intern_atom_reply_t> r(xcb_intern_atom_reply(
        c_, xcb_intern_atom(c_, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr));
    return r ? r->atom : XCB_NONE;
}

std::vector<std::uint32_t> XSession::cardinals(xcb_window_t w, const char* property) {
    Freed<xcb_get_property_reply_t> r(xcb_get_property_reply(
        c_, xcb_get_property(c_, 0, w, atom(property), XCB_GET_PROPERTY_TYPE_ANY, 0, 1u << 16), nullptr));
    if (!r || r->format != 32) return {};
    auto* v = static_cast<std::uint32_t*>(xcb_get_property_value(r.p));
    return {v, v + xcb_get_property_value_length(r.p) / 4};
}

bool XSession::waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        if (done()) return true;
        if (Clock::now() >= deadline || xcb_connection_has_error(c_)) return false;
        // Block until the X server reports a change (or the deadline passes).
        bool any = false;
        while (xcb_generic_event_t* ev = xcb_poll_for_event(c_)) {
            std::free(ev);
            any = true;
        }
        if (any) continue;
        pollfd p{xcb_get_file_descriptor(c_), POLLIN, 0};
        poll(&p, 1, remainingMs(deadline));
        while (xcb_generic_event_t* ev = xcb_poll_for_event(c_)) std::free(ev);
    }
}

std::vector<xcb_window_t> XSession::clientList() { return cardinals(root_, "_NET_CLIENT_LIST"); }

std::vector<xcb_window_t> XSession::stackingFrontFirst() {
    auto v = cardinals(root_, "_NET_CLIENT_LIST_STACKING");
    std::reverse(v.begin(), v.end());
    return v;
}

xcb_window_t XSession::activeWindow() {
    auto v = cardinals(root_, "_NET_ACTIVE_WINDOW");
    return v.empty() ? XCB_NONE : v[0];
}

bool XSession::managed(xcb_window_t w) {
    auto list = clientList();
    return std::find(list.begin(), list.end(), w) != list.end();
}

bool XSession::exists(xcb_window_t w) {
    xcb_generic_error_t* e = nullptr;
    Freed<xcb_get_window_attributes_reply_t> r(
        xcb_get_window_attributes_reply(c_, xcb_get_window_attributes(c_, w), &e));
    std::free(e);
    return static_cast<bool>(r);
}

std::vector<xcb_window_t> XSession::topLevelsFrontFirst() {
    Freed<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c_, xcb_query_tree(c_, root_), nullptr));
    if (!tree) return {};
    const xcb_window_t* children = xcb_query_tree_children(tree.p);
    std::vector<xcb_window_t> out(children, children + xcb_query_tree_children_length(tree.p));
    std::reverse(out.begin(), out.end());
    return out;
}

bool XSession::waitUntilGone(xcb_window_t w, std::chrono::milliseconds timeout) {
    return waitFor([&] { return !managed(w); }, timeout);
}

bool XSession::waitUntilActive(xcb_window_t w, std::chrono::milliseconds timeout) {
    return waitFor([&] { return activeWindow() == w; }, timeout);
}

bool XSession::stopClient(TestClient& client, std::chrono::milliseconds timeout) {
    if (!client.process) return true;
    client.process->writeLine("exit");
    if (!client.process->wait(timeout)) client.process->stop();
    client.process.reset();
    bool ok = waitFor(
        [&] {
            auto list = clientList();
            return std::none_of(client.windows.begin(), client.windows.end(), [&](xcb_window_t w) {
                return std::find(list.begin(), list.end(), w) != list.end();
            });
        },
        timeout);
    return ok;
}

std::optional<TestClient> XSession::startClient(const std::vector<std::string>& args, std::string& error) {
    std::vector<std::string> argv = {TARVOLIN_X11_CLIENT};
    argv.insert(argv.end(), args.begin(), args.end());
    Child::Options o;
    o.env = {"DISPLAY=" + display_};
    o.pipeStdin = true;
    o.pipeStdout = true;
    o.quiet = false;
    TestClient client;
    client.process = Child::spawn(argv, o);
    if (!client.process) {
        error = "cannot start the test client";
        return std::nullopt;
    }
    auto line = client.process->readLine(20s);
    if (!line || line->rfind("ready", 0) != 0) {
        error = "the test client did not report its windows";
        return std::nullopt;
    }
    std::istringstream in(line->substr(5));
    for (xcb_window_t w; in >> w;) client.windows.push_back(w);
    auto all = [&] {
        auto list = clientList();
        return std::all_of(client.windows.begin(), client.windows.end(), [&](xcb_window_t w) {
            return std::find(list.begin(), list.end(), w) != list.end();
        });
    };
    // Their own properties (state, extents) and geometry wake the waits too.
    const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    for (xcb_window_t w : client.windows) xcb_change_window_attributes(c_, w, XCB_CW_EVENT_MASK, &mask);
    sync();
    // Without a window manager the windows were mapped before the client said so.
    if (wm_ && !waitFor(all, 60s)) {
        error = "openbox did not manage all of the test client's windows:";
        auto list = clientList();
        for (xcb_window_t w : client.windows)
            if (std::find(list.begin(), list.end(), w) == list.end()) error += " " + std::to_string(w);
        return std::nullopt;
    }
    return client;
}

}  // namespace tarvolin::testing
