#include "KWinDesktop.h"

#include "KWinOutputOrder.h"

#include "platform/linux/compositor/CompositorTransport.h"
#include "platform/linux/session/BoundedRead.h"
#include "platform/linux/session/PrivateDir.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <set>
#include <system_error>

namespace tarvolin {

namespace kde {

extern const char kKWinScript[];

namespace {

using namespace std::chrono_literals;
using compositor::Clock;
using nlohmann::json;

constexpr const char* kKWinName = "org.kde.KWin";
constexpr const char* kObjectPath = "/org/tarvolin/KWin";
constexpr const char* kInterface = "org.tarvolin.KWin";
// A script that has not called by then is one KWin dropped.
constexpr auto kFirstCallTimeout = 5s;
constexpr auto kCommandTimeout = 5s;
// Under QtDBus's 25 s: a call of the script's left waiting longer would fail, and KWin never
// calls a script back on a failure.
constexpr auto kHoldNext = 20s;
// The script calls again as soon as it has an answer: a script silent for longer is gone (another
// program unloaded it, or its call timed out while the agent was stopped).
constexpr auto kRecall = 2s;
// One try at loading the script again.
constexpr auto kAwayLimit = kFirstCallTimeout;

// Where the script goes for KWin to read: KWin is the user's own, and reads it as that user.
std::filesystem::path scriptDirectory() {
    if (const char* dir = std::getenv("XDG_RUNTIME_DIR"); dir && *dir)
        return std::filesystem::path(dir) / "tarvolin-kwin";
    return std::filesystem::path("/tmp") / ("tarvolin-kwin-" + std::to_string(::geteuid()));
}

// What the script carries in every call: any program may load a script into KWin, and its calls
// then come from KWin's name too.
std::string newToken() {
    unsigned char bytes[16] = {};
    for (size_t got = 0; got < sizeof bytes;) {
        const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
        if (n > 0)
            got += static_cast<size_t>(n);
        else if (errno != EINTR)
            throw std::system_error(errno, std::system_category(), "getrandom");
    }
    std::string hex;
    for (unsigned char b : bytes) {
        hex += "0123456789abcdef"[b >> 4];
        hex += "0123456789abcdef"[b & 15];
    }
    return hex;
}

}  // namespace

// KWin's windows as the script reports them, and the script's commands. The script keeps a
// call pending on the agent; the next command is its answer.
class KWinTransport final : public compositor::CompositorTransport {
public:
    static std::unique_ptr<KWinTransport> connect(KWinDesktop::Role role, std::string& error);
    ~KWinTransport() override;

    bool focus(const desktop::Window& w) override { return command("focus", {&w}); }
    // Each is activated in turn: KWin offers scripts no raise that leaves focus alone.
    bool raise(const std::vector<const desktop::Window*>& backToFront) override {
        return command("focus", backToFront);
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
    std::string name() const override { return "KWin"; }

protected:
    bool closeIds(const std::vector<std::string>& ids) override { return send("close", ids); }
    bool comeBack() override {
        std::string error;
        if (loadScript(error)) return true;
        lastError_ = error;
        say(error);
        return false;
    }
    std::string lostWhy() const override {
        return "KWin's script could not be loaded again within " +
               std::to_string(std::chrono::seconds(kAwayLimit).count()) + " s" +
               (lastError_.empty() ? "" : " (" + lastError_ + ")");
    }
    std::string inside() const override { return "KWin's script"; }
    void readMore() override {
        if (outputs_ && !outputs_->dispatch()) {
            unwatchFd(outputs_->fd());
            outputs_.reset();
        }
        state_.setPrimary(outputs_ ? outputs_->primary() : std::nullopt);
    }
    std::optional<Clock::time_point> nextWake() const override {
        std::optional<Clock::time_point> wake = recallBy_;
        if (pendingNext_ && (!wake || pendingAt_ + kHoldNext < *wake)) wake = pendingAt_ + kHoldNext;
        return wake;
    }
    void onTimer() override {
        const auto now = Clock::now();
        if (pendingNext_ && now >= pendingAt_ + kHoldNext) answerNext("{}");  // nothing to do: it asks again
        if (recallBy_ && now >= *recallBy_) {
            recallBy_.reset();
            if (!pendingNext_)
                goneAway(
                    "KWin's script stopped calling the agent (unloaded by another program, or its call timed "
                    "out): loading it again");
        }
    }

private:
    explicit KWinTransport(KWinDesktop::Role role) : CompositorTransport(kAwayLimit), role_(role) {}

    static int onCall(sd_bus_message* m, void* self, sd_bus_error* error) {
        auto* t = static_cast<KWinTransport*>(self);
        // Nothing the script sends may throw through the bus library.
        try {
            return t->call(m, error);
        } catch (const std::exception& e) {
            t->say(std::string("refused a call of KWin's script: ") + e.what());
            return sd_bus_error_set(error, SD_BUS_ERROR_INVALID_ARGS, "the call could not be read");
        }
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
        const char* text = nullptr;
        if (int r = sd_bus_message_read(m, "s", &text); r < 0) return r;
        const json message = json::parse(text ? text : "", nullptr, false);
        // Only the script the agent loaded last: from KWin, with the token written into it.
        const auto token = message.is_object() ? message.find("token") : message.end();
        if (!sender || compositor() != sender || token == message.end() || *token != token_) {
            const std::string who = sender ? sender : "an unnamed sender";
            if (refused_.size() < 64 && refused_.insert(who).second)
                say("refused a call from " + who +
                    " on the bus: only the agent's own script in KWin may call its script interface");
            return sd_bus_error_set(error, SD_BUS_ERROR_ACCESS_DENIED,
                                    "only the agent's own KWin script may call this");
        }
        if (std::string_view(sd_bus_message_get_member(m)) == "Event") {
            std::string why;
            if (!state_.apply(message, why))
                say("ignored a message of KWin's script that could not be read: " + why);
            return sd_bus_reply_method_return(m, "");
        }
        // Next: the answer to the last command, and a wait for the next one. A second caller
        // never takes the place of the one waiting.
        if (pendingNext_) {
            say("refused a second waiting call of KWin's script");
            return sd_bus_error_set(error, "org.tarvolin.KWin.Error.Busy", "a call is waiting already");
        }
        if (const auto n = message.find("n"); n != message.end() && n->is_number() && *n == awaited_) {
            const auto done = message.find("done");
            const bool readable = done != message.end() && done->is_boolean();
            if (!readable) say("KWin's script answered a command in a form the agent cannot read");
            done_ = readable && done->get<bool>();
        }
        pendingNext_.reset(sd_bus_message_ref(m));
        pendingAt_ = Clock::now();
        recallBy_.reset();
        if (queued_) {
            answerNext(*queued_);
            queued_.reset();
        }
        return 1;
    }

    void answerNext(const std::string& text) {
        if (!pendingNext_) return;
        sd_bus_reply_method_return(pendingNext_.get(), "s", text.c_str());
        pendingNext_.reset();
        recallBy_ = Clock::now() + kRecall;
        sd_bus_flush(bus());
    }

    bool command(const char* op, const std::vector<const desktop::Window*>& windows,
                 json extra = json::object()) {
        bool all = true;
        const auto ids = nativeIds(windows, all);
        return all && send(op, ids, std::move(extra));  // one gone since the look: nothing to act on
    }

    // Carried out by the script; when it turns out gone meanwhile, again by the one loaded anew
    // (each command does the same when done twice).
    bool send(const char* op, const std::vector<std::string>& ids, json extra = json::object()) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (!live()) {
                say(std::string("did not carry out ") + op + ": KWin's script is gone");
                return false;
            }
            json c = extra;
            c["op"] = op;
            c["ids"] = ids;
            c["n"] = awaited_ = ++sequence_;
            done_.reset();
            if (pendingNext_)
                answerNext(c.dump());
            else
                queued_ = c.dump();
            countTrip();
            // Gone meanwhile: away, or already loaded again.
            const std::uint64_t loads = loads_;
            auto gone = [&] { return away() || loads_ != loads; };
            waitUntil([&] { return done_.has_value() || gone(); }, kCommandTimeout);
            if (done_) return *done_;
            queued_.reset();
            if (!gone()) {
                say(std::string("KWin's script did not answer the command ") + op + " within " +
                    std::to_string(std::chrono::seconds(kCommandTimeout).count()) + " s");
                goneAway("KWin's script takes no commands: loading it again");
                return false;
            }
        }
        return false;
    }

    bool loadScript(std::string& error);
    void unloadScript();

    const KWinDesktop::Role role_;
    std::unique_ptr<KWinOutputOrder> outputs_;  // KWin 5's primary
    SdBusSlotPtr object_;
    std::string scriptName_, token_, lastError_;
    SdBusMessagePtr pendingNext_;
    Clock::time_point pendingAt_;
    std::optional<Clock::time_point> recallBy_;
    std::optional<std::string> queued_;
    std::uint64_t sequence_ = 0, awaited_ = 0, loads_ = 0;
    std::optional<bool> done_;
    std::set<std::string> refused_;
};

std::unique_ptr<KWinTransport> KWinTransport::connect(KWinDesktop::Role role, std::string& error) {
    std::unique_ptr<KWinTransport> t(new KWinTransport(role));
    if (!t->open(kKWinName, kCommandTimeout, error)) return nullptr;
    sd_bus_slot* slot = nullptr;
    if (int r = sd_bus_add_object_vtable(t->bus(), &slot, kObjectPath, kInterface, vtable(), t.get());
        r < 0) {
        error = "KWin is on the session bus, but the agent cannot serve its script there: " +
                SdBusError{}.text(r);
        return nullptr;
    }
    t->object_.reset(slot);
    if (!t->loadScript(error)) return nullptr;
    // KWin 6 gives its script the user's order of the screens; KWin 5 only Wayland clients.
    if (t->state_.version() < 6 && (t->outputs_ = KWinOutputOrder::connect()) &&
        !t->watchFd(t->outputs_->fd()))
        t->outputs_.reset();
    t->process();
    return t;
}

bool KWinTransport::loadScript(std::string& error) {
    // Whatever an earlier load left: its waiting call, a command for it, the script in KWin.
    pendingNext_.reset();
    queued_.reset();
    recallBy_.reset();
    token_ = newToken();
    const char* unique = nullptr;
    sd_bus_get_unique_name(bus(), &unique);
    scriptName_ =
        role_ == KWinDesktop::Role::agent ? "tarvolin-agent" : "tarvolin-" + std::to_string(::getpid());

    // The script text, after the lines that tell it whom to call and how to be known.
    std::string text = "const agentBusName = " + json(std::string(unique ? unique : "")).dump() +
                       ";\nconst agentToken = " + json(token_).dump() + ";\n";
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
            error = "cannot write KWin's script to " + path.string() + ": " + SdBusError{}.text(-errno);
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
        countTrip();
        if (sd_bus_call_method(bus(), kKWinName, "/Scripting", "org.kde.kwin.Scripting", method, &e.e, &reply,
                               types, args...) < 0)
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
    // Not `run` on the script's object: KWin numbers a new script by the count of those loaded,
    // so that object may be another script's. `start` runs every loaded script not yet running.
    // What fails from here stays loaded till the next load or the end, which unload it by name.
    if (!scripting("start", "")) return false;
    const std::uint64_t hellos = state_.hellos();
    if (!waitUntil([&] { return state_.hellos() > hellos; }, kFirstCallTimeout)) {
        error = broken() ? "KWin left the session bus while starting the agent's script"
                         : "KWin's script " + scriptName_ + " did not call the agent within " +
                               std::to_string(std::chrono::seconds(kFirstCallTimeout).count()) +
                               " s: KWin drops a script with an error silently and writes the error on its "
                               "standard error (in a Plasma session: journalctl --user -b | grep -i kwin)";
        return false;
    }
    if (!pendingNext_) recallBy_ = Clock::now() + kRecall;  // its first Next follows its first message
    ++loads_;
    return true;
}

void KWinTransport::unloadScript() {
    if (scriptName_.empty() || broken()) return;
    sd_bus_call_method(bus(), kKWinName, "/Scripting", "org.kde.kwin.Scripting", "unloadScript", nullptr,
                       nullptr, "s", scriptName_.c_str());
}

KWinTransport::~KWinTransport() {
    // Its waiting call would otherwise wait on a name that is gone.
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
