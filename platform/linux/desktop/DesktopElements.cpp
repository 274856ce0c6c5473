// Accessibility elements synthesized from the desktop model: windows, applications, close buttons.
#include "DesktopModel.h"
#include "ProcessName.h"
#include "platform/AccessibilityNames.h"

#include <algorithm>
#include <cmath>
#include <initializer_list>

namespace tarvolin::desktop {

namespace {

template <class T>
AXResult<T> fail(AXError e) {
    return AXResult<T>::failed(e);
}
template <class T>
AXResult<T> ok(T value) {
    return AXResult<T>::success(std::move(value));
}
AXResult<Value> answer(std::optional<Value> v) { return AXResult<Value>::success(std::move(v)); }

using Names = std::initializer_list<std::string_view>;
bool listed(Names names, std::string_view name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}
std::vector<std::string> strings(Names names) { return {names.begin(), names.end()}; }

// Far beyond any screen; a non-number is refused.
std::optional<std::int64_t> pixels(double v, double low) {
    if (!std::isfinite(v)) return std::nullopt;
    return std::llround(std::clamp(v, low, 1e6));
}

constexpr Names kWindowAttributes = {kAXRoleAttribute,       kAXTitleAttribute,     kAXPositionAttribute,
                                     kAXSizeAttribute,       kAXMinimizedAttribute, kAXMainAttribute,
                                     kAXFocusedAttribute,    kAXParentAttribute,    kAXChildrenAttribute,
                                     kAXCloseButtonAttribute};
constexpr Names kApplicationAttributes = {kAXRoleAttribute, kAXTitleAttribute, kAXWindowsAttribute,
                                          kAXChildrenAttribute};
constexpr Names kButtonAttributes = {kAXRoleAttribute, kAXSubroleAttribute, kAXParentAttribute};

}  // namespace

// Array requests are answered from the whole value: the windows of one process are few. Every
// element keeps the model, and with it the connection, alive.
class Node : public AXElementNode {
public:
    Node(std::shared_ptr<DesktopModel> model, std::int32_t pid) : model_(std::move(model)), pid_(pid) {}

    AXResult<std::int32_t> pid() const override { return ok(pid_); }
    AXResult<std::uint32_t> windowNumber() const override { return fail<std::uint32_t>(AXError::failure); }

protected:
    // A broken connection cannot answer; what is gone is an invalid element.
    AXError gone() const { return model_->broken() ? AXError::cannotComplete : AXError::invalidUIElement; }
    // The window as of this turn's look; none once it is gone or has another owner.
    const Window* window(std::int64_t id) const {
        if (model_->broken()) return nullptr;
        const Window* w = model_->look().find(id);
        return w && w->pid == pid_ ? w : nullptr;
    }

    std::shared_ptr<DesktopModel> model_;
    std::int32_t pid_;
};

// A window's close button: there while its window is and may be closed politely.
class CloseButtonNode final : public Node {
public:
    CloseButtonNode(std::shared_ptr<DesktopModel> model, std::int64_t window, std::int32_t pid)
        : Node(std::move(model), pid), window_(window) {}

    AXResult<std::vector<std::string>> copyAttributeNames() const override {
        if (!look()) return fail<std::vector<std::string>>(gone());
        return ok(strings(kButtonAttributes));
    }
    AXResult<std::vector<std::string>> copyActionNames() const override {
        if (!look()) return fail<std::vector<std::string>>(gone());
        return ok(strings({kAXPressAction}));
    }
    AXResult<std::string> copyActionDescription(std::string_view action) const override {
        if (!look()) return fail<std::string>(gone());
        if (action != kAXPressAction) return fail<std::string>(AXError::actionUnsupported);
        return ok(std::string("press"));
    }
    AXResult<Value> copyAttributeValue(std::string_view attribute) const override {
        if (!look()) return fail<Value>(gone());
        if (attribute == kAXRoleAttribute) return answer(Value("AXButton"));
        if (attribute == kAXSubroleAttribute) return answer(Value("AXCloseButton"));
        if (attribute == kAXParentAttribute) return answer(Value(model_->windowElement(window_, pid_)));
        return fail<Value>(AXError::attributeUnsupported);
    }
    AXResult<bool> isAttributeSettable(std::string_view attribute) const override {
        if (!look()) return fail<bool>(gone());
        if (listed(kButtonAttributes, attribute)) return ok(false);
        return fail<bool>(AXError::attributeUnsupported);
    }
    AXError setAttributeValue(std::string_view attribute, const Value&) const override {
        if (!look()) return gone();
        return listed(kButtonAttributes, attribute) ? AXError::illegalArgument
                                                    : AXError::attributeUnsupported;
    }
    AXError performAction(std::string_view action) const override {
        const Window* w = look();
        if (!w) return gone();
        if (action != kAXPressAction) return AXError::actionUnsupported;
        return model_->transport().close({w}) ? AXError::success : AXError::cannotComplete;
    }
    std::string description() const override {
        return "<close button of " + model_->transport().windowName(window_) + ">";
    }

private:
    const Window* look() const {
        const Window* w = window(window_);
        return w && w->canClose ? w : nullptr;
    }

    std::int64_t window_;
};

class WindowNode final : public Node {
public:
    WindowNode(std::shared_ptr<DesktopModel> model, std::int64_t id, std::int32_t pid)
        : Node(std::move(model), pid), id_(id) {}

    AXResult<std::vector<std::string>> copyAttributeNames() const override {
        const Window* w = window(id_);
        if (!w) return fail<std::vector<std::string>>(gone());
        auto names = strings(kWindowAttributes);
        if (!w->canClose) names.pop_back();  // no close button where no polite close
        return ok(std::move(names));
    }
    AXResult<std::vector<std::string>> copyActionNames() const override {
        if (!window(id_)) return fail<std::vector<std::string>>(gone());
        return ok(strings({kAXRaiseAction}));
    }
    AXResult<std::string> copyActionDescription(std::string_view action) const override {
        if (!window(id_)) return fail<std::string>(gone());
        if (action != kAXRaiseAction) return fail<std::string>(AXError::actionUnsupported);
        return ok(std::string("raise"));
    }

    AXResult<Value> copyAttributeValue(std::string_view attribute) const override {
        const Window* w = window(id_);
        if (!w) return fail<Value>(gone());
        if (attribute == kAXRoleAttribute) return answer(Value("AXWindow"));
        if (attribute == kAXTitleAttribute) return answer(Value(w->title.value_or("")));
        if (attribute == kAXPositionAttribute || attribute == kAXSizeAttribute) {
            if (!w->frame) return fail<Value>(AXError::cannotComplete);
            const Box o = model_->look().origin();
            if (attribute == kAXSizeAttribute)
                return answer(Value(AXValue::size({double(w->frame->width), double(w->frame->height)})));
            return answer(Value(AXValue::point({double(w->frame->x - o.x), double(w->frame->y - o.y)})));
        }
        if (attribute == kAXMinimizedAttribute) return answer(Value::boolean(w->minimised));
        if (attribute == kAXFocusedAttribute) return answer(Value::boolean(w->focused));
        if (attribute == kAXMainAttribute) {
            const AppRecord* app = model_->application(pid_);
            return answer(Value::boolean(app && app->front == id_));
        }
        if (attribute == kAXParentAttribute) return answer(Value(model_->applicationElement(pid_)));
        if (attribute == kAXChildrenAttribute) {
            Value::Array children;
            if (WidgetSource* source = model_->widgetSource(); source && w->frame) {
                const Box o = model_->look().origin();
                const Box frame{w->frame->x - o.x, w->frame->y - o.y, w->frame->width, w->frame->height};
                children = source->widgets(*w, frame, model_->windowElement(id_, pid_));
            }
            if (w->canClose) children.push_back(closeButton());
            return answer(Value::array(std::move(children)));
        }
        if (attribute == kAXCloseButtonAttribute && w->canClose) return answer(Value(closeButton()));
        return fail<Value>(AXError::attributeUnsupported);
    }

    AXResult<bool> isAttributeSettable(std::string_view attribute) const override {
        const Window* w = window(id_);
        if (!w) return fail<bool>(gone());
        if (attribute == kAXPositionAttribute || attribute == kAXSizeAttribute) return ok(w->canMove);
        if (attribute == kAXMinimizedAttribute) return ok(w->canMinimise);
        if (listed(kWindowAttributes, attribute)) return ok(false);
        return fail<bool>(AXError::attributeUnsupported);
    }

    AXError setAttributeValue(std::string_view attribute, const Value& value) const override {
        const Window* w = window(id_);
        if (!w) return gone();
        Transport& t = model_->transport();
        const AXValue* geometry = value.asAXValue();
        bool done = false;
        if (attribute == kAXPositionAttribute && w->canMove) {
            auto p = geometry ? geometry->pointValue() : std::nullopt;
            auto x = p ? pixels(p->x, -1e6) : std::nullopt, y = p ? pixels(p->y, -1e6) : std::nullopt;
            if (!x || !y) return AXError::illegalArgument;
            const Box o = model_->look().origin();
            done = t.move(*w, *x + o.x, *y + o.y);
        } else if (attribute == kAXSizeAttribute && w->canMove) {
            auto s = geometry ? geometry->sizeValue() : std::nullopt;
            auto width = s ? pixels(s->width, 1) : std::nullopt,
                 height = s ? pixels(s->height, 1) : std::nullopt;
            if (!width || !height) return AXError::illegalArgument;
            done = t.resize(*w, *width, *height);
        } else if (attribute == kAXMinimizedAttribute && w->canMinimise) {
            auto flag = value.doubleValue();
            if (!flag || std::isnan(*flag)) return AXError::illegalArgument;
            done = (*flag != 0) == w->minimised || t.minimise(*w, *flag != 0);
        } else {
            return listed(kWindowAttributes, attribute) ? AXError::illegalArgument
                                                        : AXError::attributeUnsupported;
        }
        return done ? AXError::success : AXError::cannotComplete;
    }

    AXError performAction(std::string_view action) const override {
        const Window* w = window(id_);
        if (!w) return gone();
        if (action != kAXRaiseAction) return AXError::actionUnsupported;
        if (!model_->transport().focus(*w)) return AXError::cannotComplete;
        model_->noteRaised(pid_, id_);
        return AXError::success;
    }

    AXResult<std::uint32_t> windowNumber() const override {
        if (id_ < 0 || id_ > UINT32_MAX) return fail<std::uint32_t>(AXError::failure);
        return ok(static_cast<std::uint32_t>(id_));
    }
    std::string description() const override {
        return "<" + model_->transport().windowName(id_) + " of pid " + std::to_string(pid_) + ">";
    }

private:
    AXElement closeButton() const { return AXElement(std::make_shared<CloseButtonNode>(model_, id_, pid_)); }

    std::int64_t id_;
};

// A process's element: its name and its windows, front first. A live process without windows
// has none; a process that is gone (or never was) answers no request.
class ApplicationNode final : public Node {
public:
    using Node::Node;

    AXResult<std::vector<std::string>> copyAttributeNames() const override {
        if (!look()) return fail<std::vector<std::string>>(AXError::cannotComplete);
        return ok(strings(kApplicationAttributes));
    }
    AXResult<std::vector<std::string>> copyActionNames() const override {
        if (!look()) return fail<std::vector<std::string>>(AXError::cannotComplete);
        return ok(std::vector<std::string>{});
    }
    AXResult<std::string> copyActionDescription(std::string_view) const override {
        if (!look()) return fail<std::string>(AXError::cannotComplete);
        return fail<std::string>(AXError::actionUnsupported);
    }
    AXResult<Value> copyAttributeValue(std::string_view attribute) const override {
        auto app = look();
        if (!app) return fail<Value>(AXError::cannotComplete);
        if (attribute == kAXRoleAttribute) return answer(Value("AXApplication"));
        if (attribute == kAXTitleAttribute)
            return answer(app->name ? std::optional<Value>(Value(*app->name)) : std::nullopt);
        if (attribute == kAXWindowsAttribute || attribute == kAXChildrenAttribute) {
            Value::Array windows;
            for (std::int64_t w : app->frontFirst) windows.emplace_back(model_->windowElement(w, pid_));
            return answer(Value::array(std::move(windows)));
        }
        return fail<Value>(AXError::attributeUnsupported);
    }
    AXResult<bool> isAttributeSettable(std::string_view attribute) const override {
        if (!look()) return fail<bool>(AXError::cannotComplete);
        if (listed(kApplicationAttributes, attribute)) return ok(false);
        return fail<bool>(AXError::attributeUnsupported);
    }
    AXError setAttributeValue(std::string_view attribute, const Value&) const override {
        if (!look()) return AXError::cannotComplete;
        return listed(kApplicationAttributes, attribute) ? AXError::illegalArgument
                                                         : AXError::attributeUnsupported;
    }
    AXError performAction(std::string_view) const override {
        return look() ? AXError::actionUnsupported : AXError::cannotComplete;
    }
    std::string description() const override {
        return "<" + model_->transport().name() + " application of pid " + std::to_string(pid_) + ">";
    }

private:
    std::optional<AppRecord> look() const {
        if (model_->broken() || pid_ <= 0) return std::nullopt;
        model_->look();
        if (const AppRecord* app = model_->application(pid_)) return *app;
        if (auto name = processName(pid_)) return AppRecord{pid_, {}, name, {}, 0, 0};
        return std::nullopt;
    }
};

AXElement DesktopModel::windowElement(std::int64_t window, std::int32_t pid) {
    return windowNodes_.find(
        window, [&](const WindowNode& node) { return node.pid().value == pid; },
        [&] { return std::make_shared<WindowNode>(shared_from_this(), window, pid); });
}

AXElement DesktopModel::applicationElement(std::int32_t pid) {
    return appNodes_.find(
        pid, [](const ApplicationNode&) { return true; },
        [&] { return std::make_shared<ApplicationNode>(shared_from_this(), pid); });
}

}  // namespace tarvolin::desktop
