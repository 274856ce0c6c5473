#include "KWinDesktop.h"

#include "platform/linux/desktop/ReportedState.h"
#include "platform/linux/session/BoundedRead.h"
#include "platform/linux/session/NotificationBus.h"
#include "platform/linux/session/PrivateDir.h"
#include "platform/linux/session/UniqueFd.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <set>
#include <system_error>

namespace tarvolin {

namespace kde {

extern const char kKWinScript[];

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr const char* kKWinName = "org.kde.KWin";
constexpr const char* kObjectPath = "/org/tarvolin/KWin";
constexpr const char* kInterface = "org.tarvolin.KWin";
// A script that has not called by then is one KWin dropped.
constexpr auto kFirstCallTimeout = 5s;
constexpr auto kCommandTimeout = 5s;
// Under QtDBus's 25 s: a call of the script's left waiting longer would fail, and KWin never
// calls a script back on a failure.
constexpr auto kHoldNext = 20s;

std::string errnoText(int r) { return std::system_category().message(r < 0 ? -r : r); }

// Where the script goes for KWin to read: KWin is the user's own, and reads it as that user.
std::filesystem::path scriptDirectory() {
    if (const char* dir = std::getenv("XDG_RUNTIME_DIR"); dir && *dir)
        return std::filesystem::path(dir) / "tarvolin-kwin";
    return std::filesystem::path("/tmp") / ("tarvolin-kwin-" + std::to_string(::geteuid()));
}

}  // namespace

// KWin's windows as the script reports them, and the script's commands. The script keeps a
// call pending on the agent; the next command is its answer.
class KWinTransport final : public desktop::Transport {
public:
    static std::unique_ptr<KWinTransport> connect(KWinDesktop::Role role, std::string& error);
    ~KWinTransport() override;

    bool broken() const override { return kwinGone_ || sd_bus_is_open(bus_.get()) <= 0; }
    int fd() const override { return epoll_.get(); }
    bool processEvents() override {
        std::uint64_t expirations = 0;
        if (::read(timer_.get(), &expirations, sizeof expirations) > 0 && pendingNext_ && !queued_)
            answerNext("{}");  // nothing to do: the script asks again
        process();
        return !broken();
    }
    const desktop::Snapshot& sync() override {
        process();
        return state_.snapshot();
    }

    bool focus(const desktop::Window& w) override { return command("focus", {&w}); }
    // Each is activated in turn: KWin offers scripts no raise that leaves focus alone.
    bool raise(const std::vector<const desktop::Window*>& backToFront) override {
        return command("focus", backToFront);
    }
    bool close(const std::vector<const desktop::Window*>& windows) override {
        return command("close", windows);
    }
    bool move(const desktop::Window& w, std::int64_t x, std::int64_t y) override {
        return command("frame", {&w}, {{"x", x}, {"y", y}, {"w", w.frame->width}, {"h", w.frame->height}});
    }
    bool resize(const desktop::Window& w, std::int64_t width, std::int64_t height) override {
        return command("frame", {&w}, {{"x", w.frame->x}, {"y", w.frame->y}, {"w", width}, {"h", height}});
    }
    bool minimise(const desktop::Window& w, bool minimised) override {
        return command("minimise", {&w}, {{"minimised", minimised}});
    }

    std::uint64_t roundTrips() const override { return roundTrips_; }
    std::string name() const override { return "KWin"; }
    std::string windowName(std::int64_t id) const override {
        return "KWin window " + state_.nativeId(id).value_or(std::to_string(id));
    }
    void setLog(std::function<void(const std::string&)> log) override { log_ = std::move(log); }

private:
    KWinTransport() = default;

    static int onCall(sd_bus_message* m, void* self, sd_bus_error* error) {
        return static_cast<KWinTransport*>(self)->call(m, error);
    }
    static const sd_bus_vtable* vtable() {
        static const sd_bus_vtable table[] = {
            SD_BUS_VTABLE_START(0),
            SD_BUS_METHOD("Event", "s", "", &KWinTransport::onCall, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("Next", "s", "s", &KWinTransport::onCall, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_VTABLE_END,
        };
        return table;
    }
    int call(sd_bus_message* m, sd_bus_error* error) {
        const char* sender = sd_bus_message_get_sender(m);
        // Only KWin feeds the agent: another program of the session cannot plant windows.
        if (!sender || kwin_ != sender) {
            if (refused_.size() < 64 && refused_.insert(sender ? sender : "").second)
                say("refused a call from " + std::string(sender ? sender : "an unnamed sender") +
                    " on the bus: only KWin may call the agent's script interface");
            return sd_bus_error_set(error, SD_BUS_ERROR_ACCESS_DENIED, "only KWin may call this");
        }
        const char* text = nullptr;
        if (int r = sd_bus_message_read(m, "s", &text); r < 0) return r;
        if (std::string_view(sd_bus_message_get_member(m)) == "Event") {
            std::string why;
            if (!state_.apply(text, why))
                say("ignored a message of the KWin script that could not be read: " + why);
            return sd_bus_reply_method_return(m, "");
        }
        // Next: the answer to the last command, and a wait for the next one.
        const json answer = json::parse(text, nullptr, false);
        if (answer.is_object() && answer.contains("n") && answer["n"] == awaited_)
            done_ = answer.value("done", false) == true;
        pendingNext_.reset(sd_bus_message_ref(m));
        if (queued_) {
            answerNext(*queued_);
            queued_.reset();
        } else {
            const itimerspec hold{{},
                                  {std::chrono::duration_cast<std::chrono::seconds>(kHoldNext).count(), 0}};
            ::timerfd_settime(timer_.get(), 0, &hold, nullptr);
        }
        return 1;
    }

    void answerNext(const std::string& text) {
        if (!pendingNext_) return;
        sd_bus_reply_method_return(pendingNext_.get(), "s", text.c_str());
        pendingNext_.reset();
        const itimerspec off{};
        ::timerfd_settime(timer_.get(), 0, &off, nullptr);
        sd_bus_flush(bus_.get());
    }

    void process() {
        while (!broken() && sd_bus_process(bus_.get(), nullptr) > 0) {
        }
    }

    // Until `done` holds, KWin leaves, or the time is up; what arrives meanwhile is applied.
    template <class Done>
    bool waitUntil(Done done, Clock::duration timeout) {
        const auto end = Clock::now() + timeout;
        for (process(); !done(); process()) {
            const auto left = end - Clock::now();
            if (broken() || left <= 0s) return false;
            sd_bus_wait(bus_.get(), std::chrono::duration_cast<std::chrono::microseconds>(left).count());
        }
        return true;
    }

    bool command(const char* op, const std::vector<const desktop::Window*>& windows,
                 json extra = json::object()) {
        json c = std::move(extra);
        c["op"] = op;
        c["n"] = awaited_ = ++sequence_;
        c["ids"] = json::array();
        for (const desktop::Window* w : windows)
            if (auto uuid = state_.nativeId(w->id)) c["ids"].push_back(*uuid);
        if (c["ids"].size() != windows.size()) {
            // Gone since the look: closed all the same; nothing else to act on.
            if (std::string_view(op) != "close") return false;
            if (c["ids"].empty()) return true;
        }
        done_.reset();
        if (pendingNext_)
            answerNext(c.dump());
        else
            queued_ = c.dump();
        ++roundTrips_;
        if (!waitUntil([&] { return done_.has_value(); }, kCommandTimeout)) {
            queued_.reset();
            say(std::string("KWin's script did not answer the command ") + op + " within " +
                std::to_string(std::chrono::duration_cast<std::chrono::seconds>(kCommandTimeout).count()) +
                " s");
            return false;
        }
        return *done_;
    }

    void say(const std::string& line) const {
        if (log_) log_("tarvolin: " + line);
    }

    bool loadScript(KWinDesktop::Role role, std::string& error);
    void unloadScript();

    SdBusPtr bus_;
    SdBusSlotPtr object_, ownerWatch_;
    std::string kwin_;  // KWin's own name on the bus
    std::string scriptName_;
    UniqueFd epoll_, timer_;
    bool kwinGone_ = false;
    desktop::ReportedState state_;
    SdBusMessagePtr pendingNext_;
    std::optional<std::string> queued_;
    std::uint64_t sequence_ = 0, awaited_ = 0;
    std::optional<bool> done_;
    std::uint64_t roundTrips_ = 0;
    std::set<std::string> refused_;
    std::function<void(const std::string&)> log_;
};

std::unique_ptr<KWinTransport> KWinTransport::connect(KWinDesktop::Role role, std::string& error) {
    std::unique_ptr<KWinTransport> t(new KWinTransport());
    sd_bus* raw = nullptr;
    if (sd_bus_open_user(&raw) < 0) return nullptr;  // no session bus: no KWin to ask
    t->bus_.reset(raw);
    sd_bus_set_method_call_timeout(raw, std::chrono::microseconds(kCommandTimeout).count());
    auto owner = busNameOwner(raw, kKWinName);
    if (!owner) return nullptr;  // not a Plasma session
    t->kwin_ = *owner;

    sd_bus_slot* slot = nullptr;
    int r = watchNameLoss(raw, kKWinName, &t->kwinGone_, t->ownerWatch_);
    if (r >= 0) r = sd_bus_add_object_vtable(raw, &slot, kObjectPath, kInterface, vtable(), t.get());
    if (r >= 0) t->object_.reset(slot);
    t->epoll_ = UniqueFd(::epoll_create1(EPOLL_CLOEXEC));
    t->timer_ = UniqueFd(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
    for (int fd : {sd_bus_get_fd(raw), t->timer_.get()}) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        if (r >= 0 && (!t->epoll_ || !t->timer_ || ::epoll_ctl(t->epoll_.get(), EPOLL_CTL_ADD, fd, &ev) != 0))
            r = -errno;
    }
    if (r < 0) {
        error = "KWin is on the session bus, but the agent cannot serve its script there: " + errnoText(r);
        return nullptr;
    }
    if (!t->loadScript(role, error)) return nullptr;
    return t;
}

bool KWinTransport::loadScript(KWinDesktop::Role role, std::string& error) {
    const char* unique = nullptr;
    sd_bus_get_unique_name(bus_.get(), &unique);
    scriptName_ =
        role == KWinDesktop::Role::agent ? "tarvolin-agent" : "tarvolin-" + std::to_string(::getpid());

    // The script text, after the line that tells it whom to call.
    std::string text = "const agentBusName = " + json(std::string(unique ? unique : "")).dump() + ";\n";
    const char* other = std::getenv("TARVOLIN_KWIN_SCRIPT");  // for work on the script
    if (other && *other) {
        BoundedFile body = readBoundedFile(AT_FDCWD, other, 1u << 20);
        if (!body.regular || body.tooLarge) {
            error = std::string("cannot read the KWin script ") + other + " ($TARVOLIN_KWIN_SCRIPT)";
            return false;
        }
        text += body.bytes;
    } else {
        text += kKWinScript;
    }
    const std::filesystem::path dir = scriptDirectory();
    UniqueFd dirFd = openPrivateDirectory(dir, DirAccess::ownerWritable, error);
    if (!dirFd) return false;
    const std::string file = scriptName_ + ".js";
    const std::filesystem::path path = dir / file;
    {
        ::unlinkat(dirFd.get(), file.c_str(), 0);
        UniqueFd out(
            ::openat(dirFd.get(), file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
        if (!out || ::write(out.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
            error = "cannot write KWin's script to " + path.string() + ": " + errnoText(errno);
            return false;
        }
    }
    struct Unlink {
        int dir;
        std::string file;
        ~Unlink() { ::unlinkat(dir, file.c_str(), 0); }
    } once{dirFd.get(), file};

    auto scripting = [&](const char* method, const char* types, auto... args) -> SdBusMessagePtr {
        SdBusError e;
        sd_bus_message* reply = nullptr;
        ++roundTrips_;
        if (sd_bus_call_method(bus_.get(), kKWinName, "/Scripting", "org.kde.kwin.Scripting", method, &e.e,
                               &reply, types, args...) < 0)
            error = std::string("KWin refused ") + method + ": " + e.text(-EIO);
        return SdBusMessagePtr(reply);
    };
    // A copy a previous run left keeps calling a name that is gone: it goes first.
    scripting("unloadScript", "s", scriptName_.c_str());
    auto loaded = scripting("loadScript", "ss", path.c_str(), scriptName_.c_str());
    std::int32_t id = -1;
    if (!loaded || sd_bus_message_read(loaded.get(), "i", &id) < 0 || id < 0) {
        if (loaded) error = "KWin would not load its script " + scriptName_ + " from " + path.string();
        return false;
    }
    // KWin 5 names the loaded script /N; KWin 6 /Scripting/ScriptN. The one that is there runs it.
    int ran = 0;
    for (const std::string& object : {"/Scripting/Script" + std::to_string(id), "/" + std::to_string(id)}) {
        SdBusError e;
        if (sd_bus_call_method(bus_.get(), kKWinName, object.c_str(), "org.kde.kwin.Script", "run", &e.e,
                               nullptr, "") >= 0)
            ++ran;
    }
    ++roundTrips_;
    if (!ran) {
        error = "KWin loaded its script " + scriptName_ + " but would not run it";
        unloadScript();
        return false;
    }
    if (!waitUntil([&] { return state_.seenHello(); }, kFirstCallTimeout)) {
        error = kwinGone_ ? "KWin left the session bus while starting the agent's script"
                          : "KWin's script " + scriptName_ + " did not call the agent within " +
                                std::to_string(std::chrono::seconds(kFirstCallTimeout).count()) +
                                " s: KWin drops a script with an error silently and writes the error on its "
                                "standard error (in a Plasma session: journalctl --user -b | grep -i kwin)";
        unloadScript();
        return false;
    }
    return true;
}

void KWinTransport::unloadScript() {
    if (scriptName_.empty() || broken()) return;
    sd_bus_call_method(bus_.get(), kKWinName, "/Scripting", "org.kde.kwin.Scripting", "unloadScript", nullptr,
                       nullptr, "s", scriptName_.c_str());
}

KWinTransport::~KWinTransport() {
    // Its pending call would otherwise wait on a name that is gone.
    answerNext("{}");
    unloadScript();
}

}  // namespace kde

std::unique_ptr<DesktopBackend> KWinDesktop::connect(Role role, NotificationCenter& workspaceCenter,
                                                     std::string& error, desktop::BundleLookup bundleLookup) {
    auto transport = kde::KWinTransport::connect(role, error);
    if (!transport) return nullptr;
    return std::make_unique<DesktopBackend>(std::move(transport), workspaceCenter, std::move(bundleLookup));
}

}  // namespace tarvolin
