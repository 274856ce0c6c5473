// Elements for the widgets of other processes, over libatspi. Every request to an application is
// bounded in time, and an application that lets one run out is skipped for a while.
#include "AtspiWidgets.h"

#include "AtspiNames.h"
#include "platform/AccessibilityNames.h"
#include "platform/linux/desktop/DesktopModel.h"

#include <atspi/atspi.h>
#include <dbus/dbus.h>
#include <signal.h>
#include <systemd/sd-bus.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <map>

namespace tarvolin::atspi {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRequestMs = 250;  // one request to an application
constexpr auto kSkipSlowFor = std::chrono::seconds(5);
constexpr auto kRetryBusAfter = std::chrono::seconds(5);  // while the session has none
constexpr int kMaxChildren = 10'000;                      // of one element
constexpr int kMaxText = 64 * 1024;                       // bytes of a name, description or value
constexpr int kEventBatch = 64;                           // messages taken at once

constexpr std::string_view kRoleDescription = "AXRoleDescription";
constexpr std::string_view kValue = "AXValue";
constexpr std::string_view kEnabled = "AXEnabled";
constexpr std::string_view kSelected = "AXSelected";
constexpr std::string_view kWindow = "AXWindow";
constexpr std::string_view kTopLevel = "AXTopLevelUIElement";

template <class T>
AXResult<T> fail(AXError e) {
    return AXResult<T>::failed(e);
}
template <class T>
AXResult<T> ok(T value) {
    return AXResult<T>::success(std::move(value));
}

struct Unref {
    void operator()(gpointer p) const {
        if (p) g_object_unref(p);
    }
};
template <class T>
using Owned = std::unique_ptr<T, Unref>;
using Accessible = std::shared_ptr<AtspiAccessible>;
Accessible share(AtspiAccessible* a) { return Accessible(a, Unref()); }

// A text libatspi hands over, cut at a character boundary past kMaxText bytes.
std::string take(gchar* s) {
    if (!s) return {};
    std::string text(s);
    g_free(s);
    return boundedText(std::move(text), kMaxText);
}

bool processGone(std::int32_t pid) { return pid <= 0 || (::kill(pid, 0) != 0 && errno == ESRCH); }

bool toggles(AtspiRole role) {
    switch (role) {
        case ATSPI_ROLE_CHECK_BOX:
        case ATSPI_ROLE_TOGGLE_BUTTON:
        case ATSPI_ROLE_RADIO_BUTTON:
        case ATSPI_ROLE_CHECK_MENU_ITEM:
        case ATSPI_ROLE_RADIO_MENU_ITEM:
            return true;
        default:
            return false;
    }
}

class WidgetNode;

// The connection's state: which applications are being skipped, and one element per widget.
class Session : public desktop::WidgetSource, public std::enable_shared_from_this<Session> {
public:
    Session(Positions positions, std::function<void(int)> watch, Schedule endTurnsWith)
        : positions_(positions), watch_(std::move(watch)), schedule_(std::move(endTurnsWith)) {}

    Positions positions() const { return positions_; }

    // What was read in this turn of the caller's loop holds until its end: one command that asks
    // a widget ten questions reads it once. Without a turn's end to wait for, nothing is kept.
    std::uint64_t turn() {
        if (!schedule_) return ++turn_;
        if (!turnEnds_) {
            turnEnds_ = true;
            schedule_([weak = weak_from_this()] {
                if (auto self = weak.lock()) {
                    ++self->turn_;
                    self->turnEnds_ = false;
                    self->windows_.clear();
                }
            });
        }
        return turn_;
    }

    // One request to the application of `pid` (`call` is given the error slot); none when it failed.
    // An application that let the request run out of time is skipped for a while.
    template <class Call>
    auto ask(std::int32_t pid, Call call) -> std::optional<decltype(call(nullptr))> {
        if (skipped(pid)) return std::nullopt;
        GError* error = nullptr;
        const auto start = Clock::now();
        auto result = call(&error);
        // What libdbus read while it waited for the reply sits in its queue, where no poll of the
        // connection's fd will see it.
        if (DBusConnection* bus = atspi_get_a11y_bus();
            bus && dbus_connection_get_dispatch_status(bus) == DBUS_DISPATCH_DATA_REMAINS)
            processEvents(schedule_);
        // libatspi answers some requests that ran out of time with a default and no error.
        const bool late = Clock::now() - start >= std::chrono::milliseconds(kRequestMs * 9 / 10);
        if (late) slow_[pid] = Clock::now() + kSkipSlowFor;
        if (error) g_error_free(error);
        if (error || late) return std::nullopt;
        return result;
    }
    bool skipped(std::int32_t pid) {
        auto it = slow_.find(pid);
        if (it == slow_.end()) return false;
        if (Clock::now() < it->second) return true;
        slow_.erase(it);
        return false;
    }
    AXError failure(std::int32_t pid) const {
        return processGone(pid) ? AXError::invalidUIElement : AXError::cannotComplete;
    }

    AXElement element(Accessible a, std::int32_t pid, const AXElement& window, const AXElement& parent);
    Value::Array children(const Accessible& a, std::int32_t pid, const AXElement& window,
                          const AXElement& parent) {
        return elements(childrenOf(a, pid), pid, window, parent);
    }

    Value::Array widgets(const desktop::Window& w, const desktop::Box& frame,
                         const AXElement& window) override;

private:
    bool connected();  // to the accessibility bus, once there is one
    std::vector<Accessible> childrenOf(const Accessible& a, std::int32_t pid);
    Value::Array elements(const std::vector<Accessible>& all, std::int32_t pid, const AXElement& window,
                          const AXElement& parent);
    Accessible applicationOf(std::int32_t pid);
    Accessible frameOf(const Accessible& app, const desktop::Window& w, const desktop::Box& frame);

    Positions positions_;
    std::function<void(int)> watch_;
    Schedule schedule_;
    std::uint64_t turn_ = 1;
    bool turnEnds_ = false;
    // Each window's top widgets, this turn; not their elements, which hold the desktop.
    std::map<std::int64_t, std::vector<Accessible>> windows_;
    bool connected_ = false;
    Clock::time_point nextTry_;
    std::map<std::int32_t, Clock::time_point> slow_;
    std::map<std::string, std::int32_t> pids_;  // by bus name
    desktop::ElementTable<std::string, WidgetNode> nodes_;
};

// One widget. What it lists follows what it is now (its role, interfaces and states), so a
// widget that becomes editable or shown lists its value or position from then on.
class WidgetNode final : public AXElementNode {
public:
    WidgetNode(std::shared_ptr<Session> session, Accessible a, std::int32_t pid, AXElement window,
               AXElement parent)
        : session_(std::move(session)),
          a_(std::move(a)),
          pid_(pid),
          window_(std::move(window)),
          parent_(std::move(parent)) {}

    const AXElement& parent() const { return parent_; }

    AXResult<std::int32_t> pid() const override { return ok(pid_); }
    AXResult<std::uint32_t> windowNumber() const override { return fail<std::uint32_t>(AXError::failure); }

    AXResult<std::vector<std::string>> copyAttributeNames() const override {
        auto f = facts();
        if (!f) return fail<std::vector<std::string>>(session_->failure(pid_));
        return ok(attributeNames(*f));
    }

    AXResult<Value> copyAttributeValue(std::string_view attribute) const override {
        if (attribute == kAXParentAttribute) return ok(Value(parent_));
        if (attribute == kWindow || attribute == kTopLevel) return ok(Value(window_));
        auto f = facts();
        if (!f) return fail<Value>(session_->failure(pid_));
        AtspiAccessible* a = a_.get();
        if (attribute == kAXRoleAttribute) return ok(Value(std::string(f->names().role)));
        if (attribute == kAXSubroleAttribute) {
            const auto sub = f->names().subrole;
            if (sub.empty()) return fail<Value>(AXError::attributeUnsupported);
            return ok(Value(std::string(sub)));
        }
        if (attribute == kRoleDescription)
            return text([a](GError** e) { return atspi_accessible_get_localized_role_name(a, e); });
        if (attribute == kAXTitleAttribute)
            return text([a](GError** e) { return atspi_accessible_get_name(a, e); });
        if (attribute == kAXDescriptionAttribute)
            return text([a](GError** e) { return atspi_accessible_get_description(a, e); });
        if (attribute == kEnabled)
            return ok(Value::boolean(f->is(ATSPI_STATE_ENABLED) || f->is(ATSPI_STATE_SENSITIVE)));
        if (attribute == kAXFocusedAttribute) return ok(Value::boolean(f->is(ATSPI_STATE_FOCUSED)));
        if (attribute == kSelected && f->is(ATSPI_STATE_SELECTABLE))
            return ok(Value::boolean(f->is(ATSPI_STATE_SELECTED)));
        if (attribute == kValue && f->hasValue()) return value(*f);
        if ((attribute == kAXPositionAttribute || attribute == kAXSizeAttribute) && f->placed()) {
            auto box = extents();
            if (!box) return fail<Value>(session_->failure(pid_));
            if (!*box) return fail<Value>(AXError::noValue);
            if (attribute == kAXSizeAttribute)
                return ok(Value(AXValue::size({(*box)->width, (*box)->height})));
            return ok(Value(AXValue::point({(*box)->x, (*box)->y})));
        }
        if (attribute == kAXChildrenAttribute)
            return ok(Value::array(session_->children(a_, pid_, window_, self())));
        return fail<Value>(AXError::attributeUnsupported);
    }

    // Counting children asks for no child.
    AXResult<std::int64_t> attributeValueCount(std::string_view attribute) const override {
        if (attribute != kAXChildrenAttribute) return AXElementNode::attributeValueCount(attribute);
        AtspiAccessible* a = a_.get();
        auto count = session_->ask(pid_, [a](GError** e) { return atspi_accessible_get_child_count(a, e); });
        if (!count || *count < 0) return fail<std::int64_t>(session_->failure(pid_));
        return ok(std::int64_t{std::min(*count, kMaxChildren)});
    }

    AXResult<bool> isAttributeSettable(std::string_view attribute) const override {
        auto f = facts();
        if (!f) return fail<bool>(session_->failure(pid_));
        if (attribute == kValue) return ok(f->hasValue() && (f->editableText() || f->numeric()));
        if (attribute == kAXFocusedAttribute) return ok(f->is(ATSPI_STATE_FOCUSABLE));
        const auto names = attributeNames(*f);
        if (std::find(names.begin(), names.end(), attribute) != names.end()) return ok(false);
        return fail<bool>(AXError::attributeUnsupported);
    }

    AXError setAttributeValue(std::string_view attribute, const Value& value) const override {
        auto f = facts();
        if (!f) return session_->failure(pid_);
        AtspiAccessible* a = a_.get();
        std::optional<gboolean> done;
        if (attribute == kValue && f->editableText() && value.asString()) {
            const std::string text = *value.asString();
            done = session_->ask(pid_, [a, &text](GError** e) {
                Owned<AtspiEditableText> edit(atspi_accessible_get_editable_text_iface(a));
                return edit && atspi_editable_text_set_text_contents(edit.get(), text.c_str(), e);
            });
        } else if (attribute == kValue && f->numeric() && value.doubleValue() &&
                   std::isfinite(*value.doubleValue())) {
            const double number = *value.doubleValue();
            done = session_->ask(pid_, [a, number](GError** e) {
                Owned<AtspiValue> v(atspi_accessible_get_value_iface(a));
                return v && atspi_value_set_current_value(v.get(), number, e);
            });
        } else if (attribute == kAXFocusedAttribute && f->is(ATSPI_STATE_FOCUSABLE) && value.doubleValue() &&
                   *value.doubleValue() != 0) {
            done = session_->ask(pid_, [a](GError** e) {
                Owned<AtspiComponent> c(atspi_accessible_get_component_iface(a));
                return c && atspi_component_grab_focus(c.get(), e);
            });
        } else {
            return isAttributeSettable(attribute).ok() ? AXError::illegalArgument
                                                       : AXError::attributeUnsupported;
        }
        if (!done) return session_->failure(pid_);
        return *done ? AXError::success : AXError::cannotComplete;
    }

    AXResult<std::vector<std::string>> copyActionNames() const override {
        auto all = actions();
        if (!all) return fail<std::vector<std::string>>(session_->failure(pid_));
        std::vector<std::string> names;
        for (const auto& [name, index] : *all) names.push_back(name);
        return ok(std::move(names));
    }
    AXResult<std::string> copyActionDescription(std::string_view action) const override {
        auto index = actionIndex(action);
        if (!index.ok()) return fail<std::string>(index.error);
        AtspiAccessible* a = a_.get();
        const int i = *index.value;
        auto description = session_->ask(pid_, [a, i](GError** e) {
            Owned<AtspiAction> act(atspi_accessible_get_action_iface(a));
            std::string d = act ? take(atspi_action_get_description(act.get(), i, e)) : std::string();
            if (d.empty() && act && !*e) d = take(atspi_action_get_localized_name(act.get(), i, e));
            return d;
        });
        if (!description) return fail<std::string>(session_->failure(pid_));
        return ok(std::move(*description));
    }
    AXError performAction(std::string_view action) const override {
        auto index = actionIndex(action);
        if (!index.ok()) return index.error;
        AtspiAccessible* a = a_.get();
        const int i = *index.value;
        auto done = session_->ask(pid_, [a, i](GError** e) {
            Owned<AtspiAction> act(atspi_accessible_get_action_iface(a));
            return act && atspi_action_do_action(act.get(), i, e);
        });
        if (!done) return session_->failure(pid_);
        return *done ? AXError::success : AXError::cannotComplete;
    }

    std::string description() const override {
        const auto* o = reinterpret_cast<const AtspiObject*>(a_.get());
        return "<widget " + std::string(o->path ? o->path : "?") + " of pid " + std::to_string(pid_) + ">";
    }

    void setSelf(std::weak_ptr<WidgetNode> self) { self_ = std::move(self); }

private:
    // What the names and values depend on, in three requests (none where libatspi keeps them).
    struct Facts {
        AtspiRole role = ATSPI_ROLE_INVALID;
        std::vector<std::string> interfaces;
        Owned<AtspiStateSet> states;

        RoleNames names() const { return axRole(role, is(ATSPI_STATE_SINGLE_LINE)); }
        bool is(AtspiStateType s) const { return states && atspi_state_set_contains(states.get(), s); }
        bool has(std::string_view i) const {
            return std::find(interfaces.begin(), interfaces.end(), i) != interfaces.end();
        }
        bool numeric() const { return has("Value"); }
        bool editableText() const { return has("EditableText") && is(ATSPI_STATE_EDITABLE); }
        bool hasValue() const { return toggles(role) || numeric() || has("Text"); }
        // Hidden widgets give positions far off any screen.
        bool placed() const { return has("Component") && is(ATSPI_STATE_SHOWING); }
    };

    static std::vector<std::string> attributeNames(const Facts& f) {
        std::vector<std::string> names{std::string(kAXRoleAttribute)};
        if (!f.names().subrole.empty()) names.emplace_back(kAXSubroleAttribute);
        for (std::string_view n : {kRoleDescription, kAXTitleAttribute, kAXDescriptionAttribute})
            names.emplace_back(n);
        if (f.hasValue()) names.emplace_back(kValue);
        names.emplace_back(kEnabled);
        names.emplace_back(kAXFocusedAttribute);
        if (f.is(ATSPI_STATE_SELECTABLE)) names.emplace_back(kSelected);
        if (f.placed()) {
            names.emplace_back(kAXPositionAttribute);
            names.emplace_back(kAXSizeAttribute);
        }
        for (std::string_view n : {kAXParentAttribute, kAXChildrenAttribute, kWindow, kTopLevel})
            names.emplace_back(n);
        return names;
    }

    // None when the application did not answer.
    const Facts* facts() const {
        const std::uint64_t now = session_->turn();
        if (!facts_ || factsRead_ != now) {
            facts_ = readFacts();
            factsRead_ = now;
        }
        return facts_ ? &*facts_ : nullptr;
    }
    std::optional<Facts> readFacts() const {
        AtspiAccessible* a = a_.get();
        Facts f;
        auto role = session_->ask(pid_, [a](GError** e) { return atspi_accessible_get_role(a, e); });
        if (!role) return std::nullopt;
        f.role = *role;
        auto interfaces = session_->ask(pid_, [a](GError**) { return atspi_accessible_get_interfaces(a); });
        if (interfaces && *interfaces) {
            for (guint i = 0; i < (*interfaces)->len; ++i)
                f.interfaces.emplace_back(g_array_index(*interfaces, gchar*, i));
            for (guint i = 0; i < (*interfaces)->len; ++i) g_free(g_array_index(*interfaces, gchar*, i));
            g_array_free(*interfaces, TRUE);
        }
        f.states.reset(atspi_accessible_get_state_set(a));
        return f;
    }

    template <class Get>
    AXResult<Value> text(Get get) const {
        auto s = session_->ask(pid_, [&get](GError** e) { return take(get(e)); });
        if (!s) return fail<Value>(session_->failure(pid_));
        return ok(Value(std::move(*s)));
    }

    AXResult<Value> value(const Facts& f) const {
        AtspiAccessible* a = a_.get();
        if (toggles(f.role)) return ok(Value::integer(f.is(ATSPI_STATE_CHECKED) ? 1 : 0));
        if (f.numeric()) {
            auto v = session_->ask(pid_, [a](GError** e) {
                Owned<AtspiValue> value(atspi_accessible_get_value_iface(a));
                return value ? atspi_value_get_current_value(value.get(), e) : 0.0;
            });
            if (!v) return fail<Value>(session_->failure(pid_));
            return ok(Value::real(*v));
        }
        auto s = session_->ask(pid_, [a](GError** e) {
            Owned<AtspiText> text(atspi_accessible_get_text_iface(a));
            if (!text) return std::string();
            const gint count = atspi_text_get_character_count(text.get(), e);
            if (*e) return std::string();
            return take(atspi_text_get_text(text.get(), 0, std::min(count, kMaxText), e));
        });
        if (!s) return fail<Value>(session_->failure(pid_));
        return ok(Value(std::move(*s)));
    }

    // The widget's box in the agent's coordinates; none inside when it has no place (a row
    // scrolled out of sight says it is shown, at INT_MIN); none at all when the request failed.
    std::optional<std::optional<Rect>> extents() const {
        const std::uint64_t now = session_->turn();
        if (!extents_ || extentsRead_ != now) {
            extents_ = readExtents();
            extentsRead_ = now;
        }
        return extents_;
    }
    std::optional<std::optional<Rect>> readExtents() const {
        AtspiAccessible* a = a_.get();
        const bool inWindow = session_->positions() == Positions::inWindow;
        auto box = session_->ask(pid_, [a, inWindow](GError** e) {
            Owned<AtspiComponent> c(atspi_accessible_get_component_iface(a));
            AtspiRect* r = c ? atspi_component_get_extents(
                                   c.get(), inWindow ? ATSPI_COORD_TYPE_WINDOW : ATSPI_COORD_TYPE_SCREEN, e)
                             : nullptr;
            std::optional<Rect> out;
            if (r && r->x != G_MININT32 && r->y != G_MININT32)
                out = Rect{double(r->x), double(r->y), double(r->width), double(r->height)};
            g_free(r);
            return out;
        });
        if (!box) return std::nullopt;
        if (!*box) return std::optional<Rect>();
        Rect r = **box;
        if (inWindow) {
            // The window's own frame, as the desktop gives it, places what the application knows
            // only inside it.
            auto at = ax::copyAttributeValue(window_, kAXPositionAttribute);
            const AXValue* p = at.value ? at.value->asAXValue() : nullptr;
            auto origin = p ? p->pointValue() : std::nullopt;
            if (!origin) return std::nullopt;
            r.x += origin->x;
            r.y += origin->y;
        }
        // The agent's origin is the primary screen's corner, the desktop's origin on X.
        return r;
    }

    std::optional<std::vector<std::pair<std::string, int>>> actions() const {
        AtspiAccessible* a = a_.get();
        return session_->ask(pid_, [a](GError** e) {
            std::vector<std::pair<std::string, int>> out;
            Owned<AtspiAction> act(atspi_accessible_get_action_iface(a));
            if (!act) return out;
            const gint n = std::min(atspi_action_get_n_actions(act.get(), e), 64);
            for (gint i = 0; i < n && !*e; ++i) {
                const std::string name = axAction(take(atspi_action_get_action_name(act.get(), i, e)));
                if (*e) break;
                if (!name.empty() &&
                    std::none_of(out.begin(), out.end(), [&](auto& o) { return o.first == name; }))
                    out.emplace_back(name, i);
            }
            return out;
        });
    }
    AXResult<int> actionIndex(std::string_view action) const {
        auto all = actions();
        if (!all) return fail<int>(session_->failure(pid_));
        for (const auto& [name, index] : *all)
            if (name == action) return ok(index);
        return fail<int>(AXError::actionUnsupported);
    }

    AXElement self() const { return AXElement(self_.lock()); }

    std::shared_ptr<Session> session_;
    Accessible a_;
    std::int32_t pid_;
    AXElement window_, parent_;
    std::weak_ptr<WidgetNode> self_;
    mutable std::optional<Facts> facts_;
    mutable std::optional<std::optional<Rect>> extents_;
    mutable std::uint64_t factsRead_ = 0, extentsRead_ = 0;
};

AXElement Session::element(Accessible a, std::int32_t pid, const AXElement& window, const AXElement& parent) {
    const auto* o = reinterpret_cast<const AtspiObject*>(a.get());
    std::string key = o->app && o->app->bus_name ? o->app->bus_name : "";
    key += o->path ? o->path : "";
    return nodes_.find(
        key, [&](const WidgetNode& n) { return n.parent() == parent; },
        [&] {
            auto node = std::make_shared<WidgetNode>(shared_from_this(), std::move(a), pid, window, parent);
            node->setSelf(node);
            return node;
        });
}

std::vector<Accessible> Session::childrenOf(const Accessible& a, std::int32_t pid) {
    std::vector<Accessible> out;
    auto count = ask(pid, [&](GError** e) { return atspi_accessible_get_child_count(a.get(), e); });
    for (int i = 0; count && i < std::min(*count, kMaxChildren); ++i) {
        auto child = ask(pid, [&](GError** e) { return atspi_accessible_get_child_at_index(a.get(), i, e); });
        if (!child) break;  // gone, or too slow: what was read stands
        if (*child) out.push_back(share(*child));
    }
    return out;
}

Value::Array Session::elements(const std::vector<Accessible>& all, std::int32_t pid, const AXElement& window,
                               const AXElement& parent) {
    Value::Array out;
    for (const Accessible& a : all) out.emplace_back(element(a, pid, window, parent));
    return out;
}

Accessible Session::applicationOf(std::int32_t pid) {
    Owned<AtspiAccessible> desktop(atspi_get_desktop(0));
    if (!desktop) return nullptr;
    GError* error = nullptr;
    const gint apps = atspi_accessible_get_child_count(desktop.get(), &error);
    if (error) g_clear_error(&error);
    Accessible found;
    std::map<std::string, std::int32_t> pids;  // of the applications there now
    for (gint i = 0; i < apps; ++i) {
        Accessible app = share(atspi_accessible_get_child_at_index(desktop.get(), i, &error));
        if (error) g_clear_error(&error);
        if (!app) continue;
        const auto* o = reinterpret_cast<const AtspiObject*>(app.get());
        const std::string name = o->app && o->app->bus_name ? o->app->bus_name : "";
        // Its pid comes from the bus, not from the application, and stays with its connection's
        // name, which the bus never gives again.
        auto known = pids_.find(name);
        std::int32_t appPid = known != pids_.end() ? known->second : 0;
        if (known == pids_.end()) {
            appPid = static_cast<std::int32_t>(atspi_accessible_get_process_id(app.get(), &error));
            if (error) g_clear_error(&error);
        }
        if (!name.empty() && appPid > 0) pids.emplace(name, appPid);
        if (appPid == pid && !found) found = app;
    }
    pids_ = std::move(pids);
    return found;
}

Accessible Session::frameOf(const Accessible& app, const desktop::Window& w, const desktop::Box& frame) {
    const std::int32_t pid = *w.pid;
    // Its windows on screen: a closed dialog may stay in the tree, hidden.
    std::vector<Accessible> shown;
    auto count = ask(pid, [&](GError** e) { return atspi_accessible_get_child_count(app.get(), e); });
    for (int i = 0; count && i < std::min(*count, kMaxChildren); ++i) {
        auto child =
            ask(pid, [&](GError** e) { return atspi_accessible_get_child_at_index(app.get(), i, e); });
        if (!child) return nullptr;
        if (!*child) continue;
        Accessible top = share(*child);
        Owned<AtspiStateSet> states(atspi_accessible_get_state_set(top.get()));
        if (states && atspi_state_set_contains(states.get(), ATSPI_STATE_SHOWING)) shown.push_back(top);
    }
    if (shown.size() <= 1) return shown.empty() ? nullptr : shown.front();
    // Several: the one with the window's title, else (on X, where the application knows its place)
    // the one inside the window's frame.
    std::vector<Accessible> titled, placed;
    for (const Accessible& top : shown) {
        auto name = ask(pid, [&](GError** e) { return take(atspi_accessible_get_name(top.get(), e)); });
        if (!name) return nullptr;
        if (w.title && *name == *w.title) titled.push_back(top);
        if (positions_ != Positions::screen) continue;
        auto inside = ask(pid, [&](GError** e) {
            Owned<AtspiComponent> c(atspi_accessible_get_component_iface(top.get()));
            AtspiRect* r = c ? atspi_component_get_extents(c.get(), ATSPI_COORD_TYPE_SCREEN, e) : nullptr;
            const bool in = r && r->x >= frame.x && r->y >= frame.y &&
                            r->x + r->width <= frame.x + frame.width &&
                            r->y + r->height <= frame.y + frame.height;
            g_free(r);
            return in;
        });
        if (inside && *inside) placed.push_back(top);
    }
    // Two windows of one process alike in title and place cannot be told apart: neither gets
    // widgets that may be the other's.
    if (titled.size() == 1) return titled.front();
    if (placed.size() == 1) return placed.front();
    return nullptr;
}

bool Session::connected() {
    if (connected_) return true;
    if (Clock::now() < nextTry_) return false;
    nextTry_ = Clock::now() + kRetryBusAfter;
    // Only a bus that is there: asking for it by name would start one in every session.
    sd_bus* session = nullptr;
    if (sd_bus_open_user(&session) < 0) return false;
    sd_bus_error error{};
    sd_bus_message* reply = nullptr;
    int owned = 0;
    if (sd_bus_call_method(session, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                           "NameHasOwner", &error, &reply, "s", "org.a11y.Bus") >= 0)
        sd_bus_message_read(reply, "b", &owned);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    sd_bus_flush_close_unref(session);
    if (!owned || atspi_init() > 1 || !atspi_get_a11y_bus()) return false;
    atspi_set_timeout(kRequestMs, kRequestMs);
    int fd = -1;
    if (watch_ && dbus_connection_get_unix_fd(atspi_get_a11y_bus(), &fd)) watch_(fd);
    connected_ = true;
    return true;
}

Value::Array Session::widgets(const desktop::Window& w, const desktop::Box& frame, const AXElement& window) {
    if (!w.pid || skipped(*w.pid)) return {};
    turn();
    if (auto known = windows_.find(w.id); known != windows_.end())
        return elements(known->second, *w.pid, window, window);
    if (!connected()) return {};
    Accessible app = applicationOf(*w.pid);
    Accessible top = app ? frameOf(app, w, frame) : nullptr;
    std::vector<Accessible> found = top ? childrenOf(top, *w.pid) : std::vector<Accessible>{};
    if (schedule_) windows_.emplace(w.id, found);
    return elements(found, *w.pid, window, window);
}

}  // namespace

std::shared_ptr<desktop::WidgetSource> connect(Positions positions, std::function<void(int fd)> watch,
                                               Schedule endTurnsWith) {
    return std::make_shared<Session>(positions, std::move(watch), std::move(endTurnsWith));
}

void processEvents(const Schedule& later) {
    for (int i = 0; i < kEventBatch; ++i)
        if (!g_main_context_iteration(nullptr, FALSE)) return;
    if (later) later([later] { processEvents(later); });
}

}  // namespace tarvolin::atspi
