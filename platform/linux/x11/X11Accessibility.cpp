// Accessibility elements synthesized from the X server's view of the managed windows.
#include "X11Services.h"

#include "platform/AccessibilityNames.h"
#include "platform/linux/desktop/SynthesizedElements.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tarvolin::x11 {

namespace {

using synthesized::fail;
using synthesized::listed;
using synthesized::strings;

// X coordinates are 16-bit; a value out of range is pinned to the edge, a non-number refused.
std::optional<std::int32_t> coordinate(double v) {
    if (!std::isfinite(v)) return std::nullopt;
    return static_cast<std::int32_t>(std::lround(std::clamp(v, -32768.0, 32767.0)));
}
std::optional<std::uint32_t> extent(double v) {
    if (!std::isfinite(v)) return std::nullopt;
    return static_cast<std::uint32_t>(std::lround(std::clamp(v, 1.0, 32767.0)));
}

}  // namespace

// Every element here keeps the core, and with it the connection, alive.
class NodeBase : public synthesized::Node {
public:
    explicit NodeBase(std::shared_ptr<Core> core) : core_(std::move(core)) {}

protected:
    // A broken connection cannot answer; a window that is gone is an invalid element.
    AXError gone() const {
        return core_->conn().broken() ? AXError::cannotComplete : AXError::invalidUIElement;
    }

    std::shared_ptr<Core> core_;
};

class WindowNode final : public NodeBase {
public:
    WindowNode(std::shared_ptr<Core> core, xcb_window_t id, std::int32_t pid)
        : NodeBase(std::move(core)), id_(id), pid_(pid) {}

    AXResult<std::int32_t> pid() const override { return AXResult<std::int32_t>::success(pid_); }

    AXResult<std::vector<std::string>> copyAttributeNames() const override {
        auto l = look();
        if (!l) return fail<std::vector<std::string>>(gone());
        auto names = strings({kAXRoleAttribute, kAXTitleAttribute, kAXPositionAttribute, kAXSizeAttribute,
                              kAXMinimizedAttribute, kAXMainAttribute, kAXFocusedAttribute,
                              kAXParentAttribute, kAXChildrenAttribute});
        if (closable(l->facts, core_->conn().extra(), core_->conn().atoms()))
            names.emplace_back(kAXCloseButtonAttribute);
        return AXResult<std::vector<std::string>>::success(std::move(names));
    }

    AXResult<std::vector<std::string>> copyActionNames() const override {
        if (!look()) return fail<std::vector<std::string>>(gone());
        return AXResult<std::vector<std::string>>::success(strings({kAXRaiseAction}));
    }

    AXResult<std::string> copyActionDescription(std::string_view action) const override {
        if (!look()) return fail<std::string>(gone());
        if (action != kAXRaiseAction) return fail<std::string>(AXError::actionUnsupported);
        return AXResult<std::string>::success("raise");
    }

    AXResult<Value> copyAttributeValue(std::string_view attribute) const override {
        auto l = look();
        if (!l) return fail<Value>(gone());
        const WindowFacts& f = l->facts;
        const auto& atoms = core_->conn().atoms();
        auto ok = [](Value v) { return AXResult<Value>::success(std::move(v)); };

        if (attribute == kAXRoleAttribute) return ok("AXWindow");
        if (attribute == kAXTitleAttribute) return ok(f.title.value_or(""));
        if (attribute == kAXPositionAttribute) {
            if (!f.frame) return fail<Value>(AXError::cannotComplete);
            const Core::Origin origin = core_->primaryOrigin();
            return ok(AXValue::point({double(f.frame->x) - origin.x, double(f.frame->y) - origin.y}));
        }
        if (attribute == kAXSizeAttribute) {
            if (!f.frame) return fail<Value>(AXError::cannotComplete);
            return ok(AXValue::size({double(f.frame->width), double(f.frame->height)}));
        }
        if (attribute == kAXMinimizedAttribute)
            return ok(Value::boolean(f.hasState(atoms._NET_WM_STATE_HIDDEN)));
        if (attribute == kAXFocusedAttribute) return ok(Value::boolean(l->clients.active == id_));
        if (attribute == kAXMainAttribute) {
            const AppRecord* app = core_->application(pid_);
            return ok(Value::boolean(app && app->front == id_));
        }
        if (attribute == kAXParentAttribute) return ok(core_->applicationElement(pid_));
        const bool canClose = closable(f, core_->conn().extra(), atoms);
        if (attribute == kAXChildrenAttribute) {
            Value::Array children;
            if (canClose) children.emplace_back(closeButton());
            return ok(Value::array(std::move(children)));
        }
        if (attribute == kAXCloseButtonAttribute && canClose) return ok(closeButton());
        return fail<Value>(AXError::attributeUnsupported);
    }

    AXResult<bool> isAttributeSettable(std::string_view attribute) const override {
        if (!look()) return fail<bool>(gone());
        if (listed({kAXPositionAttribute, kAXSizeAttribute, kAXMinimizedAttribute}, attribute))
            return AXResult<bool>::success(true);
        if (listed({kAXRoleAttribute, kAXTitleAttribute, kAXMainAttribute, kAXFocusedAttribute,
                    kAXParentAttribute, kAXChildrenAttribute, kAXCloseButtonAttribute},
                   attribute))
            return AXResult<bool>::success(false);
        return fail<bool>(AXError::attributeUnsupported);
    }

    AXError setAttributeValue(std::string_view attribute, const Value& value) const override {
        auto l = look();
        if (!l) return gone();
        Writer& out = core_->writer();
        const AXValue* geometry = value.asAXValue();
        if (attribute == kAXPositionAttribute) {
            auto p = geometry ? geometry->pointValue() : std::nullopt;
            if (!p) return AXError::illegalArgument;
            const Core::Origin origin = core_->primaryOrigin();
            auto x = coordinate(p->x + origin.x), y = coordinate(p->y + origin.y);
            if (!x || !y) return AXError::illegalArgument;
            out.moveResize(id_, x, y, std::nullopt, std::nullopt, l->clients);
            return AXError::success;
        }
        if (attribute == kAXSizeAttribute) {
            auto s = geometry ? geometry->sizeValue() : std::nullopt;
            if (!s) return AXError::illegalArgument;
            auto w = extent(s->width), h = extent(s->height);
            if (!w || !h) return AXError::illegalArgument;
            if (!l->facts.frame) return AXError::cannotComplete;
            // The size is the frame's; the window manager is asked for the client's, without
            // decorations and without the client's own X border.
            const Frame& f = *l->facts.frame;
            auto inner = [](std::uint32_t outer, std::uint32_t deco) {
                return outer > deco ? outer - deco : 1u;
            };
            out.moveResize(id_, std::nullopt, std::nullopt,
                           inner(*w, f.extents.left + f.extents.right + 2 * f.border),
                           inner(*h, f.extents.top + f.extents.bottom + 2 * f.border), l->clients);
            return AXError::success;
        }
        if (attribute == kAXMinimizedAttribute) {
            auto flag = value.doubleValue();
            if (!flag || std::isnan(*flag)) return AXError::illegalArgument;
            const bool minimized = l->facts.hasState(core_->conn().atoms()._NET_WM_STATE_HIDDEN);
            if (*flag != 0 && !minimized) out.iconify(id_);
            if (*flag == 0 && minimized) out.activate(l->facts, l->clients);
            return AXError::success;
        }
        if (listed({kAXRoleAttribute, kAXTitleAttribute, kAXMainAttribute, kAXFocusedAttribute,
                    kAXParentAttribute, kAXChildrenAttribute, kAXCloseButtonAttribute},
                   attribute))
            return AXError::illegalArgument;
        return AXError::attributeUnsupported;
    }

    AXError performAction(std::string_view action) const override {
        auto l = look();
        if (!l) return gone();
        if (action != kAXRaiseAction) return AXError::actionUnsupported;
        core_->writer().activate(l->facts, l->clients);
        core_->noteRaised(pid_, id_);
        return AXError::success;
    }

    AXResult<std::uint32_t> windowNumber() const override { return AXResult<std::uint32_t>::success(id_); }

    std::string description() const override {
        char text[64];
        std::snprintf(text, sizeof text, "<X11 window 0x%08x of pid %d>", id_, pid_);
        return text;
    }

private:
    struct Look {
        const WindowFacts& facts;
        const ClientList& clients;
    };

    // The window as of this turn's sync; none once it is not managed.
    std::optional<Look> look() const {
        if (core_->conn().broken()) return std::nullopt;
        core_->fresh();
        const WindowFacts* f = core_->mirror().find(id_);
        if (!f) return std::nullopt;
        return Look{*f, core_->mirror().clients()};
    }

    AXElement closeButton() const;

    xcb_window_t id_;
    std::int32_t pid_;
};

class CloseButtonNode final : public synthesized::CloseButtonNode {
public:
    CloseButtonNode(std::shared_ptr<Core> core, xcb_window_t window, std::int32_t pid)
        : synthesized::CloseButtonNode(pid, describe(window)), core_(std::move(core)), window_(window) {}

private:
    static std::string describe(xcb_window_t window) {
        char text[64];
        std::snprintf(text, sizeof text, "<X11 close button of window 0x%08x>", window);
        return text;
    }
    bool exists() const override { return look() != nullptr; }
    AXError gone() const override {
        return core_->conn().broken() ? AXError::cannotComplete : AXError::invalidUIElement;
    }
    AXElement window() const override { return core_->windowElement(window_, pid_); }
    AXError press() const override {
        auto clients = look();
        if (!clients) return gone();
        core_->writer().close(window_, *clients);
        return AXError::success;
    }
    // The button exists while its window is managed and may be closed politely.
    const ClientList* look() const {
        if (core_->conn().broken()) return nullptr;
        core_->fresh();
        const WindowFacts* f = core_->mirror().find(window_);
        if (!f || !closable(*f, core_->conn().extra(), core_->conn().atoms())) return nullptr;
        return &core_->mirror().clients();
    }

    std::shared_ptr<Core> core_;
    xcb_window_t window_;
};

AXElement WindowNode::closeButton() const {
    return AXElement(std::make_shared<CloseButtonNode>(core_, id_, pid_));
}

class ApplicationNode final : public synthesized::ApplicationNode {
public:
    ApplicationNode(std::shared_ptr<Core> core, std::int32_t pid)
        : synthesized::ApplicationNode(pid, "X11"), core_(std::move(core)) {}

private:
    // The process as the managed windows show it; a live process without windows has
    // none, and a process that is gone (or never was) cannot answer.
    std::optional<Seen> look() const override {
        if (core_->conn().broken() || pid_ <= 0) return std::nullopt;
        core_->fresh();
        if (const AppRecord* app = core_->application(pid_))
            return Seen{app->name, {app->frontFirst.begin(), app->frontFirst.end()}};
        if (auto name = processName(pid_)) return Seen{name, {}};
        return std::nullopt;
    }
    AXElement windowElement(std::int64_t window) const override {
        return core_->windowElement(static_cast<xcb_window_t>(window), pid_);
    }

    std::shared_ptr<Core> core_;
};

AXElement Core::windowElement(xcb_window_t window, std::int32_t pid) {
    return windowNodes_.find(
        window, [&](const WindowNode& node) { return node.pid().value == pid; },
        [&] { return std::make_shared<WindowNode>(shared_from_this(), window, pid); });
}

AXElement Core::applicationElement(std::int32_t pid) {
    return appNodes_.find(
        pid, [](const ApplicationNode&) { return true; },
        [&] { return std::make_shared<ApplicationNode>(shared_from_this(), pid); });
}

}  // namespace tarvolin::x11
