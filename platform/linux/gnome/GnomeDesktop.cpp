#include "GnomeDesktop.h"

#include "platform/linux/compositor/CompositorTransport.h"

#include <nlohmann/json.hpp>

#include <cstdlib>

namespace tarvolin {

namespace gnome {

namespace {

using namespace std::chrono_literals;
using nlohmann::json;

constexpr auto kCallTimeout = 5s;
// GNOME disables and enables the extension again on its own: it is back within this.
constexpr auto kAwayLimit = 2s;
constexpr const char* kShellName = "org.gnome.Shell";
constexpr const char* kObjectPath = "/org/tarvolin/Shell";
constexpr const char* kInterface = "org.tarvolin.Shell";
// The extension's answer when the Shell cannot show the list (over the lock screen, or when
// another modal holds the keyboard).
constexpr const char* kCannotShow = "org.tarvolin.Shell.Error.CannotShow";
constexpr const char* kJournal = "journalctl --user -b | grep -i -A5 tarvolin";

// GNOME 45 loads extensions as ES modules, which earlier Shells cannot: one extension for each.
const char* extensionFor(int shellMajor) {
    return shellMajor >= 45 ? TARVOLIN_GNOME_UUID : TARVOLIN_GNOME_UUID_LEGACY;
}

// A name on the bus that says the caller is one of the agent's programs: the extension answers
// only those who own one (a sandboxed app cannot). Made from the caller's unique name, so that the
// extension checks it with one question and any number of them may run at once.
int ownClientName(sd_bus* bus) {
    const char* unique = nullptr;
    if (int r = sd_bus_get_unique_name(bus, &unique); r < 0) return r;
    std::string name = "org.tarvolin.Client.";
    for (const char* c = unique; *c; ++c) name += *c == ':' || *c == '.' ? '_' : *c;
    return sd_bus_request_name(bus, name.c_str(), 0);
}

SdBusPtr openSession() {
    sd_bus* raw = nullptr;
    if (sd_bus_open_user(&raw) < 0) return nullptr;
    sd_bus_set_method_call_timeout(raw, std::chrono::microseconds(kCallTimeout).count());
    return SdBusPtr(raw);
}

struct ExtensionInfo {
    bool found = false;
    int state = 0;
    std::string error;
};

// What the Shell itself says of the extension (org.gnome.Shell.Extensions).
ExtensionInfo extensionInfo(sd_bus* bus, const char* uuid) {
    ExtensionInfo info;
    SdBusError e;
    sd_bus_message* raw = nullptr;
    if (sd_bus_call_method(bus, kShellName, "/org/gnome/Shell", "org.gnome.Shell.Extensions",
                           "GetExtensionInfo", &e.e, &raw, "s", uuid) < 0)
        return info;
    SdBusMessagePtr reply(raw);
    if (sd_bus_message_enter_container(raw, 'a', "{sv}") <= 0) return info;
    while (sd_bus_message_enter_container(raw, 'e', "sv") > 0) {
        const char* key = nullptr;
        char type = 0;
        const char* contents = nullptr;
        if (sd_bus_message_read(raw, "s", &key) < 0 || sd_bus_message_peek_type(raw, &type, &contents) < 0)
            break;
        info.found = true;
        const std::string_view k(key ? key : ""), c(contents ? contents : "");
        double state = 0;
        const char* text = nullptr;
        if (k == "state" && c == "d" && sd_bus_message_read(raw, "v", "d", &state) >= 0)
            info.state = static_cast<int>(state);
        else if (k == "error" && c == "s" && sd_bus_message_read(raw, "v", "s", &text) >= 0)
            info.error = text ? text : "";
        else
            sd_bus_message_skip(raw, "v");
        sd_bus_message_exit_container(raw);
    }
    return info;
}

std::string shellVersion(sd_bus* bus) {
    SdBusError e;
    char* version = nullptr;
    if (sd_bus_get_property_string(bus, kShellName, "/org/gnome/Shell", "org.gnome.Shell", "ShellVersion",
                                   &e.e, &version) < 0)
        return "";
    std::string out(version ? version : "");
    std::free(version);
    return out;
}

int appendTexts(sd_bus_message* m, const std::vector<std::string>& texts) {
    int r = sd_bus_message_open_container(m, 'a', "s");
    for (const std::string& t : texts)
        if (r >= 0) r = sd_bus_message_append(m, "s", t.c_str());
    return r >= 0 ? sd_bus_message_close_container(m) : r;
}

// Why the extension did not answer, in the Shell's own words, and how to mend it.
std::string diagnosis(sd_bus* bus, const std::string& callError) {
    const std::string version = shellVersion(bus);
    const char* uuid = extensionFor(std::atoi(version.c_str()));
    const ExtensionInfo info = extensionInfo(bus, uuid);
    const std::string enable = "gnome-extensions enable " + std::string(uuid);
    std::string text = "GNOME Shell" + (version.empty() ? "" : " " + version) +
                       " is on the session bus, but the agent's extension " + uuid + " does not answer (" +
                       callError + "): ";
    if (!info.found)
        return text +
               "the Shell does not know it. Install tarvolin (its package, or cmake --install, puts the "
               "extension under share/gnome-shell/extensions), log out and in (a Shell on Wayland finds new "
               "extensions only when it starts), then run `" +
               enable + "`";
    const std::string state = "the Shell reports its state as " + std::to_string(info.state);
    switch (info.state) {
        case 1:
            return text + state + " (ENABLED); log out and in to start it afresh, and see its errors with `" +
                   kJournal + "`";
        case 2:
        case 6:
            return text + state + (info.state == 2 ? " (DISABLED)" : " (INITIALIZED)") +
                   ": it is installed but not enabled. Enable it: `" + enable +
                   "`; if it stays off, extensions are switched off as a whole: `gsettings set "
                   "org.gnome.shell "
                   "disable-user-extensions false`";
        case 3:
            return text + state + " (ERROR) with the error \"" + info.error + "\"; see `" + kJournal +
                   "`, and log out and in once mended";
        case 4:
            return text + state + " (OUT_OF_DATE): this extension does not support GNOME Shell " + version;
        default:
            return text + state + "; try `" + enable + "`, or log out and in";
    }
}

}  // namespace

// The Shell's windows as the extension reports them: its list at the start, then its Changed
// signals. Commands are method calls; the extension sends what a command changed before it
// answers, so the look after a command sees it. GNOME disables and enables extensions on its own
// (another one switched off, a screen lock): the extension away is a pause of up to kAwayLimit.
class GnomeTransport final : public compositor::CompositorTransport {
public:
    static std::unique_ptr<GnomeTransport> connect(std::string& error);

    bool focus(const desktop::Window& w) override { return activate({&w}); }
    // Each is activated in turn: the Shell raises a window only by activating it.
    bool raise(const std::vector<const desktop::Window*>& backToFront) override {
        return activate(backToFront);
    }
    bool move(const desktop::Window& w, std::int64_t x, std::int64_t y) override {
        return setFrame(w, x, y, w.frame->width, w.frame->height);
    }
    bool resize(const desktop::Window& w, std::int64_t width, std::int64_t height) override {
        return setFrame(w, w.frame->x, w.frame->y, width, height);
    }
    bool minimise(const desktop::Window& w, bool minimised) override {
        const auto id = state_.nativeId(w.id);
        return id && call("Minimise", [&](sd_bus_message* m) {
                   return sd_bus_message_append(m, "sb", id->c_str(), static_cast<int>(minimised));
               });
    }
    std::string name() const override { return "GNOME Shell"; }

protected:
    bool closeIds(const std::vector<std::string>& ids) override {
        return call("Close", [&](sd_bus_message* m) { return appendTexts(m, ids); });
    }
    bool comeBack() override {
        std::string error;
        return list(error, false);
    }
    std::string lostWhy() const override {
        return "the GNOME Shell extension stopped (disabled, or the Shell is ending) and was not back "
               "within " +
               std::to_string(std::chrono::milliseconds(kAwayLimit).count()) +
               " ms: restart the agent once it is enabled again";
    }
    std::string inside() const override { return "the GNOME Shell extension"; }

private:
    GnomeTransport() : CompositorTransport(kAwayLimit) {}

    static int onStopped(sd_bus_message*, void* self, sd_bus_error*) {
        static_cast<GnomeTransport*>(self)->goneAway(
            "the GNOME Shell extension stopped; commands wait for it to be back");
        return 0;
    }
    static int onChanged(sd_bus_message* m, void* self, sd_bus_error*) {
        auto* t = static_cast<GnomeTransport*>(self);
        const char* text = nullptr;
        if (sd_bus_message_read(m, "s", &text) >= 0) t->report(text ? text : "");
        return 0;
    }

    // The whole list, read afresh; false with `error` when the extension does not answer it as
    // this agent expects (asking the Shell why, when `diagnose`).
    bool list(std::string& error, bool diagnose = true) {
        SdBusError e;
        sd_bus_message* raw = nullptr;
        countTrip();
        const int r =
            sd_bus_call_method(bus(), compositor().c_str(), kObjectPath, kInterface, "List", &e.e, &raw, "");
        SdBusMessagePtr reply(raw);
        const char* text = nullptr;
        if (r < 0 || sd_bus_message_read(raw, "s", &text) < 0 || !text) {
            const std::string why = e.text(r < 0 ? r : -EBADMSG);
            error = diagnose ? diagnosis(bus(), why) : why;
            return false;
        }
        const json list = json::parse(text, nullptr, false);
        const json* version = list.is_object() && list.contains("hello") ? &list["hello"] : nullptr;
        if (!version || !version->is_number_integer() || *version != TARVOLIN_GNOME_INTERFACE) {
            error = "the agent's GNOME Shell extension speaks version " +
                    (version ? version->dump() : std::string("(none)")) +
                    " of its interface, and this agent " + std::to_string(TARVOLIN_GNOME_INTERFACE) +
                    ": install the agent and the extension from the same tarvolin, then log out and in so "
                    "that the Shell loads the extension installed";
            return false;
        }
        std::string why;
        if (!state_.apply(list, why)) {
            error =
                "the agent's GNOME Shell extension listed the windows in a form this agent cannot read: " +
                why;
            return false;
        }
        return true;
    }

    // One method of the extension's, its arguments appended by `args`: whether it answered true.
    // A call that finds the extension gone (disabled just before, its Stopped not read yet)
    // waits for it as a pause does, and goes again once.
    template <class Args>
    bool call(const char* method, Args args) {
        for (bool first = true;; first = false) {
            if (!live()) {
                say(std::string("did not carry out ") + method + ": the GNOME Shell extension is gone");
                return false;
            }
            sd_bus_message* raw = nullptr;
            if (sd_bus_message_new_method_call(bus(), &raw, compositor().c_str(), kObjectPath, kInterface,
                                               method) < 0)
                return false;
            SdBusMessagePtr m(raw);
            if (args(raw) < 0) return false;
            SdBusError e;
            sd_bus_message* reply = nullptr;
            countTrip();
            const int r = sd_bus_call(bus(), raw, 0, &e.e, &reply);
            SdBusMessagePtr answer(reply);
            if (first && (sd_bus_error_has_name(&e.e, SD_BUS_ERROR_UNKNOWN_OBJECT) ||
                          sd_bus_error_has_name(&e.e, SD_BUS_ERROR_UNKNOWN_METHOD))) {
                goneAway("the GNOME Shell extension is not there; commands wait for it to be back");
                continue;
            }
            int done = 0;
            if (r < 0 || sd_bus_message_read(reply, "b", &done) < 0) {
                if (!broken())
                    say(std::string("the GNOME Shell extension failed ") + method + ": " + e.text(r));
            }
            process();  // what it changed, sent before the answer
            return done != 0;
        }
    }

    bool activate(const std::vector<const desktop::Window*>& windows) {
        bool all = true;
        const auto ids = nativeIds(windows, all);
        return all && call("Activate", [&](sd_bus_message* m) { return appendTexts(m, ids); });
    }

    bool setFrame(const desktop::Window& w, std::int64_t x, std::int64_t y, std::int64_t width,
                  std::int64_t height) {
        // The model keeps coordinates within a million pixels: they fit the extension's ints.
        const auto id = state_.nativeId(w.id);
        return id && call("SetFrame", [&](sd_bus_message* m) {
                   return sd_bus_message_append(
                       m, "siiii", id->c_str(), static_cast<std::int32_t>(x), static_cast<std::int32_t>(y),
                       static_cast<std::int32_t>(width), static_cast<std::int32_t>(height));
               });
    }

    SdBusSlotPtr changes_, stops_;
};

std::unique_ptr<GnomeTransport> GnomeTransport::connect(std::string& error) {
    std::unique_ptr<GnomeTransport> t(new GnomeTransport());
    if (!t->open(kShellName, kCallTimeout, error)) return nullptr;
    sd_bus* bus = t->bus();
    const std::string signal = "type='signal',sender='" + t->compositor() + "',path='" + kObjectPath +
                               "',interface='" + kInterface + "',member=";
    sd_bus_slot* slot = nullptr;
    int r = ownClientName(bus);
    if (r >= 0)
        r = sd_bus_add_match(bus, &slot, (signal + "'Changed'").c_str(), &GnomeTransport::onChanged, t.get());
    if (r >= 0) {
        t->changes_.reset(slot);
        r = sd_bus_add_match(bus, &slot, (signal + "'Stopped'").c_str(), &GnomeTransport::onStopped, t.get());
    }
    if (r < 0) {
        error = "GNOME Shell is on the session bus, but the agent cannot follow its changes: " +
                SdBusError{}.text(r);
        return nullptr;
    }
    t->stops_.reset(slot);
    if (!t->list(error)) return nullptr;
    t->process();  // the changes since the list, in order
    return t;
}

}  // namespace gnome

std::unique_ptr<DesktopBackend> GnomeDesktop::connect(NotificationCenter& workspaceCenter, std::string& error,
                                                      desktop::BundleLookup bundleLookup) {
    auto transport = gnome::GnomeTransport::connect(error);
    if (!transport) return nullptr;
    return std::make_unique<DesktopBackend>(std::move(transport), workspaceCenter, std::move(bundleLookup));
}

int GnomeDesktop::becomeClient(sd_bus* bus) { return gnome::ownClientName(bus); }

bool GnomeDesktop::running() {
    auto bus = gnome::openSession();
    return bus && busNameOwner(bus.get(), gnome::kShellName);
}

std::optional<std::string> GnomeDesktop::choose(const std::vector<std::string>& rows,
                                                const std::vector<std::string>& icons,
                                                std::chrono::milliseconds timeout, std::string& error) {
    auto bus = gnome::openSession();
    if (!bus || !busNameOwner(bus.get(), gnome::kShellName)) {
        error = "GNOME Shell is not on the session bus";
        return std::nullopt;
    }
    sd_bus_message* raw = nullptr;
    int r = gnome::ownClientName(bus.get());
    if (r >= 0)
        r = sd_bus_message_new_method_call(bus.get(), &raw, gnome::kShellName, gnome::kObjectPath,
                                           gnome::kInterface, "Choose");
    SdBusMessagePtr m(raw);
    const auto millis = static_cast<std::uint32_t>(std::min<std::int64_t>(timeout.count(), UINT32_MAX));
    if (r >= 0) r = gnome::appendTexts(raw, rows);
    if (r >= 0) r = gnome::appendTexts(raw, icons);
    if (r >= 0) r = sd_bus_message_append(raw, "u", millis);
    SdBusError e;
    sd_bus_message* reply = nullptr;
    // The Shell ends the list at the time given; a little more for the answer to come.
    if (r >= 0)
        r = sd_bus_call(bus.get(), raw, std::chrono::microseconds(timeout + gnome::kCallTimeout).count(),
                        &e.e, &reply);
    SdBusMessagePtr answer(reply);
    const char* chosen = nullptr;
    if (sd_bus_error_has_name(&e.e, gnome::kCannotShow)) {
        error = "GNOME Shell did not show the list: " + e.text(r);
        return std::nullopt;
    }
    if (r < 0 || sd_bus_message_read(reply, "s", &chosen) < 0 || !chosen) {
        error = gnome::diagnosis(bus.get(), e.text(r < 0 ? r : -EBADMSG));
        return std::nullopt;
    }
    return std::string(chosen);
}

}  // namespace tarvolin
