// Accessibility elements synthesized from sway's tree, like the X11 backend's.
#include "SwayServices.h"

#include "platform/AccessibilityNames.h"
#include "platform/linux/desktop/SynthesizedElements.h"

#include <algorithm>
#include <cmath>

namespace tarvolin::sway {

namespace {

using synthesized::fail;
using synthesized::listed;
using synthesized::strings;

// Layout coordinates are 32-bit in sway; out of range is pinned, a non-number refused.
std::optional<std::int64_t> pixels(double v, double low) {
    if (!std::isfinite(v)) return std::nullopt;
    return std::llround(std::clamp(v, low, 1e6));
}

constexpr std::initializer_list<std::string_view> kReadOnlyWindowAttributes = {
    kAXRoleAttribute,   kAXTitleAttribute,    kAXMainAttribute,       kAXFocusedAttribute,
    kAXParentAttribute, kAXChildrenAttribute, kAXCloseButtonAttribute};

}  // namespace

// Every element here keeps the core, and with it the connection, alive.
class NodeBase : public synthesized::Node {
public:
    explicit NodeBase(std::shared_ptr<Core> core) : core_(std::move(core)) {}

protected:
    // A broken connection cannot answer; a view that is gone is an invalid element.
    AXError gone() const { return core_->broken() ? AXError::cannotComplete : AXError::invalidUIElement; }

    // The view as the mirror has it (a copy: the mirror may be replaced by the next look).
    std::optional<View> look(std::int64_t id, std::int32_t pid) const {
        if (core_->broken()) return std::nullopt;
        const View* v = core_->current().find(id);
        if (!v || v->pid != pid) return std::nullopt;
        return *v;
    }

    std::shared_ptr<Core> core_;
};

class CloseButtonNode final : public synthesized::CloseButtonNode {
public:
    CloseButtonNode(std::shared_ptr<Core> core, std::int64_t view, std::int32_t pid)
        : synthesized::CloseButtonNode(pid, "<sway close button of view " + std::to_string(view) + ">"),
          core_(std::move(core)),
          view_(view) {}

private:
    // Every view can be asked to close: the button is there while its view is.
    bool exists() const override {
        if (core_->broken()) return false;
        const View* v = core_->current().find(view_);
        return v && v->pid == pid_;
    }
    AXError gone() const override {
        return core_->broken() ? AXError::cannotComplete : AXError::invalidUIElement;
    }
    AXElement window() const override { return core_->windowElement(view_, pid_); }
    AXError press() const override {
        if (!exists()) return gone();
        // kill asks the client to close, as a close button does; it may still ask to save.
        return core_->run({conCommand(view_, "kill")}) ? AXError::success : AXError::cannotComplete;
    }

    std::shared_ptr<Core> core_;
    std::int64_t view_;
};

class WindowNode final : public NodeBase {
public:
    WindowNode(std::shared_ptr<Core> core, std::int64_t id, std::int32_t pid)
        : NodeBase(std::move(core)), id_(id), pid_(pid) {}

    AXResult<std::int32_t> pid() const override { return AXResult<std::int32_t>::success(pid_); }

    AXResult<std::vector<std::string>> copyAttributeNames() const override {
        if (!look(id_, pid_)) return fail<std::vector<std::string>>(gone());
        // Every view can be asked to close, so every one has a close button.
        return AXResult<std::vector<std::string>>::success(
            strings({kAXRoleAttribute, kAXTitleAttribute, kAXPositionAttribute, kAXSizeAttribute,
                     kAXMinimizedAttribute, kAXMainAttribute, kAXFocusedAttribute, kAXParentAttribute,
                     kAXChildrenAttribute, kAXCloseButtonAttribute}));
    }

    AXResult<std::vector<std::string>> copyActionNames() const override {
        if (!look(id_, pid_)) return fail<std::vector<std::string>>(gone());
        return AXResult<std::vector<std::string>>::success(strings({kAXRaiseAction}));
    }

    AXResult<std::string> copyActionDescription(std::string_view action) const override {
        if (!look(id_, pid_)) return fail<std::string>(gone());
        if (action != kAXRaiseAction) return fail<std::string>(AXError::actionUnsupported);
        return AXResult<std::string>::success("raise");
    }

    AXResult<Value> copyAttributeValue(std::string_view attribute) const override {
        auto v = look(id_, pid_);
        if (!v) return fail<Value>(gone());
        auto ok = [](Value value) { return AXResult<Value>::success(std::move(value)); };
        if (attribute == kAXRoleAttribute) return ok("AXWindow");
        if (attribute == kAXTitleAttribute) return ok(v->title.value_or(""));
        if (attribute == kAXPositionAttribute) {
            const Layout& l = core_->current();
            return ok(AXValue::point({double(v->rect.x - l.originX()), double(v->rect.y - l.originY())}));
        }
        if (attribute == kAXSizeAttribute)
            return ok(AXValue::size({double(v->rect.width), double(v->rect.height)}));
        if (attribute == kAXMinimizedAttribute) return ok(Value::boolean(v->scratchpad));
        if (attribute == kAXFocusedAttribute) return ok(Value::boolean(v->focused));
        if (attribute == kAXMainAttribute) {
            auto app = core_->application(pid_);
            return ok(Value::boolean(app && app->front == id_));
        }
        if (attribute == kAXParentAttribute) return ok(core_->applicationElement(pid_));
        if (attribute == kAXChildrenAttribute) return ok(Value::array({closeButton()}));
        if (attribute == kAXCloseButtonAttribute) return ok(closeButton());
        return fail<Value>(AXError::attributeUnsupported);
    }

    AXResult<bool> isAttributeSettable(std::string_view attribute) const override {
        auto v = look(id_, pid_);
        if (!v) return fail<bool>(gone());
        // The tiling layout places tiled views; only floating ones go where they are told.
        if (listed({kAXPositionAttribute, kAXSizeAttribute}, attribute))
            return AXResult<bool>::success(v->floating);
        if (attribute == kAXMinimizedAttribute) return AXResult<bool>::success(true);
        if (listed(kReadOnlyWindowAttributes, attribute)) return AXResult<bool>::success(false);
        return fail<bool>(AXError::attributeUnsupported);
    }

    AXError setAttributeValue(std::string_view attribute, const Value& value) const override {
        auto v = look(id_, pid_);
        if (!v) return gone();
        const AXValue* geometry = value.asAXValue();
        std::vector<std::string> commands;
        auto moveTo = [&](std::int64_t x, std::int64_t y) {
            commands.push_back(conCommand(
                id_, "move absolute position " + std::to_string(x) + " px " + std::to_string(y) + " px"));
        };
        if (attribute == kAXPositionAttribute || attribute == kAXSizeAttribute) {
            if (!v->floating) return AXError::illegalArgument;
            if (attribute == kAXPositionAttribute) {
                auto p = geometry ? geometry->pointValue() : std::nullopt;
                auto x = p ? pixels(p->x, -1e6) : std::nullopt, y = p ? pixels(p->y, -1e6) : std::nullopt;
                if (!x || !y) return AXError::illegalArgument;
                const Layout& l = core_->current();
                moveTo(*x + l.originX(), *y + l.originY());
            } else {
                auto s = geometry ? geometry->sizeValue() : std::nullopt;
                auto w = s ? pixels(s->width, 1) : std::nullopt, h = s ? pixels(s->height, 1) : std::nullopt;
                if (!w || !h) return AXError::illegalArgument;
                commands.push_back(conCommand(id_, "resize set width " + std::to_string(*w) + " px height " +
                                                       std::to_string(*h) + " px"));
                // sway resizes about the centre; the top-left corner stays, as elsewhere.
                moveTo(v->rect.x, v->rect.y);
            }
        } else if (attribute == kAXMinimizedAttribute) {
            auto flag = value.doubleValue();
            if (!flag || std::isnan(*flag)) return AXError::illegalArgument;
            if ((*flag != 0) == v->scratchpad) return AXError::success;
            // Focusing a view in the scratchpad brings it back.
            commands.push_back(conCommand(id_, *flag != 0 ? "move scratchpad" : "focus"));
        } else {
            return listed(kReadOnlyWindowAttributes, attribute) ? AXError::illegalArgument
                                                                : AXError::attributeUnsupported;
        }
        return core_->run(commands) ? AXError::success : AXError::cannotComplete;
    }

    AXError performAction(std::string_view action) const override {
        if (!look(id_, pid_)) return gone();
        if (action != kAXRaiseAction) return AXError::actionUnsupported;
        // sway switches to the view's workspace (and output) itself.
        return core_->run({conCommand(id_, "focus")}) ? AXError::success : AXError::cannotComplete;
    }

    AXResult<std::uint32_t> windowNumber() const override {
        if (id_ < 0 || id_ > UINT32_MAX) return fail<std::uint32_t>(AXError::failure);
        return AXResult<std::uint32_t>::success(static_cast<std::uint32_t>(id_));
    }

    std::string description() const override {
        return "<sway view " + std::to_string(id_) + " of pid " + std::to_string(pid_) + ">";
    }

private:
    AXElement closeButton() const { return AXElement(std::make_shared<CloseButtonNode>(core_, id_, pid_)); }

    std::int64_t id_;
    std::int32_t pid_;
};

class ApplicationNode final : public synthesized::ApplicationNode {
public:
    ApplicationNode(std::shared_ptr<Core> core, std::int32_t pid)
        : synthesized::ApplicationNode(pid, "sway"), core_(std::move(core)) {}

private:
    // The process as its views show it; a live process without views has none, and a
    // process that is gone (or never was) cannot answer.
    std::optional<Seen> look() const override {
        if (core_->broken() || pid_ <= 0) return std::nullopt;
        if (auto app = core_->application(pid_)) return Seen{app->name, app->frontFirst};
        if (auto name = processName(pid_)) return Seen{name, {}};
        return std::nullopt;
    }
    AXElement windowElement(std::int64_t view) const override { return core_->windowElement(view, pid_); }

    std::shared_ptr<Core> core_;
};

AXElement Core::windowElement(std::int64_t view, std::int32_t pid) {
    return windowNodes_.find(
        view, [&](const WindowNode& node) { return node.pid().value == pid; },
        [&] { return std::make_shared<WindowNode>(shared_from_this(), view, pid); });
}

AXElement Core::applicationElement(std::int32_t pid) {
    return appNodes_.find(
        pid, [](const ApplicationNode&) { return true; },
        [&] { return std::make_shared<ApplicationNode>(shared_from_this(), pid); });
}

}  // namespace tarvolin::sway
