#pragma once

// What the desktop backends' synthesized accessibility elements have in common: array
// requests answered from the whole value, the close button and the application element.
#include "platform/Accessibility.h"
#include "platform/AccessibilityNames.h"

#include <algorithm>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvolin::synthesized {

template <class T>
AXResult<T> fail(AXError e) {
    return AXResult<T>::failed(e);
}

inline bool listed(std::initializer_list<std::string_view> names, std::string_view name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

inline std::vector<std::string> strings(std::initializer_list<std::string_view> names) {
    return {names.begin(), names.end()};
}

// Answers the array requests from the whole value; the windows of one process are few.
class Node : public AXElementNode {
public:
    AXResult<Value::Array> copyAttributeValues(std::string_view attribute, std::int64_t index,
                                               std::int64_t maxCount) const override {
        if (index < 0 || maxCount < 0) return fail<Value::Array>(AXError::illegalArgument);
        auto v = copyAttributeValue(attribute);
        if (!v.ok()) return fail<Value::Array>(v.error);
        const Value::Array* all = v.value ? v.value->asArray() : nullptr;
        if (!all) return fail<Value::Array>(AXError::illegalArgument);
        const auto size = static_cast<std::int64_t>(all->size());
        const auto first = std::min(index, size);
        const auto last = first + std::min(maxCount, size - first);
        return AXResult<Value::Array>::success(Value::Array(all->begin() + first, all->begin() + last));
    }

    AXResult<std::int64_t> attributeValueCount(std::string_view attribute) const override {
        auto v = copyAttributeValue(attribute);
        if (!v.ok()) return fail<std::int64_t>(v.error);
        const Value::Array* all = v.value ? v.value->asArray() : nullptr;
        if (!all) return fail<std::int64_t>(AXError::illegalArgument);
        return AXResult<std::int64_t>::success(static_cast<std::int64_t>(all->size()));
    }
};

// A process's element: its name and its windows, front first. A backend says what it sees of
// the process; a process it cannot see answers no request.
class ApplicationNode : public Node {
public:
    struct Seen {
        std::optional<std::string> name;
        std::vector<std::int64_t> windows;
    };

    ApplicationNode(std::int32_t pid, std::string backend) : pid_(pid), backend_(std::move(backend)) {}

    AXResult<std::int32_t> pid() const override { return AXResult<std::int32_t>::success(pid_); }

    AXResult<std::vector<std::string>> copyAttributeNames() const override {
        if (!look()) return fail<std::vector<std::string>>(AXError::cannotComplete);
        return AXResult<std::vector<std::string>>::success(strings(kAttributes));
    }
    AXResult<std::vector<std::string>> copyActionNames() const override {
        if (!look()) return fail<std::vector<std::string>>(AXError::cannotComplete);
        return AXResult<std::vector<std::string>>::success({});
    }
    AXResult<std::string> copyActionDescription(std::string_view) const override {
        if (!look()) return fail<std::string>(AXError::cannotComplete);
        return fail<std::string>(AXError::actionUnsupported);
    }
    AXResult<Value> copyAttributeValue(std::string_view attribute) const override {
        auto app = look();
        if (!app) return fail<Value>(AXError::cannotComplete);
        if (attribute == kAXRoleAttribute) return AXResult<Value>::success(Value("AXApplication"));
        if (attribute == kAXTitleAttribute)
            return AXResult<Value>::success(app->name ? std::optional<Value>(Value(*app->name))
                                                      : std::nullopt);
        if (attribute == kAXWindowsAttribute || attribute == kAXChildrenAttribute) {
            Value::Array windows;
            for (std::int64_t w : app->windows) windows.emplace_back(windowElement(w));
            return AXResult<Value>::success(Value::array(std::move(windows)));
        }
        return fail<Value>(AXError::attributeUnsupported);
    }
    AXResult<bool> isAttributeSettable(std::string_view attribute) const override {
        if (!look()) return fail<bool>(AXError::cannotComplete);
        if (listed(kAttributes, attribute)) return AXResult<bool>::success(false);
        return fail<bool>(AXError::attributeUnsupported);
    }
    AXError setAttributeValue(std::string_view attribute, const Value&) const override {
        if (!look()) return AXError::cannotComplete;
        return listed(kAttributes, attribute) ? AXError::illegalArgument : AXError::attributeUnsupported;
    }
    AXError performAction(std::string_view) const override {
        if (!look()) return AXError::cannotComplete;
        return AXError::actionUnsupported;
    }
    AXResult<std::uint32_t> windowNumber() const override { return fail<std::uint32_t>(AXError::failure); }
    std::string description() const override {
        return "<" + backend_ + " application of pid " + std::to_string(pid_) + ">";
    }

protected:
    virtual std::optional<Seen> look() const = 0;
    virtual AXElement windowElement(std::int64_t window) const = 0;

    std::int32_t pid_;

private:
    static constexpr std::initializer_list<std::string_view> kAttributes = {
        kAXRoleAttribute, kAXTitleAttribute, kAXWindowsAttribute, kAXChildrenAttribute};
    std::string backend_;
};

// A window's close button. A backend says whether it is there, how an element that is gone
// fails, the window it belongs to, and what a press does.
class CloseButtonNode : public Node {
public:
    CloseButtonNode(std::int32_t pid, std::string description)
        : pid_(pid), description_(std::move(description)) {}

    AXResult<std::int32_t> pid() const override { return AXResult<std::int32_t>::success(pid_); }

    AXResult<std::vector<std::string>> copyAttributeNames() const override {
        if (!exists()) return fail<std::vector<std::string>>(gone());
        return AXResult<std::vector<std::string>>::success(strings(kAttributes));
    }
    AXResult<std::vector<std::string>> copyActionNames() const override {
        if (!exists()) return fail<std::vector<std::string>>(gone());
        return AXResult<std::vector<std::string>>::success(strings({kAXPressAction}));
    }
    AXResult<std::string> copyActionDescription(std::string_view action) const override {
        if (!exists()) return fail<std::string>(gone());
        if (action != kAXPressAction) return fail<std::string>(AXError::actionUnsupported);
        return AXResult<std::string>::success("press");
    }
    AXResult<Value> copyAttributeValue(std::string_view attribute) const override {
        if (!exists()) return fail<Value>(gone());
        if (attribute == kAXRoleAttribute) return AXResult<Value>::success(Value("AXButton"));
        if (attribute == kAXSubroleAttribute) return AXResult<Value>::success(Value("AXCloseButton"));
        if (attribute == kAXParentAttribute) return AXResult<Value>::success(Value(window()));
        return fail<Value>(AXError::attributeUnsupported);
    }
    AXResult<bool> isAttributeSettable(std::string_view attribute) const override {
        if (!exists()) return fail<bool>(gone());
        if (listed(kAttributes, attribute)) return AXResult<bool>::success(false);
        return fail<bool>(AXError::attributeUnsupported);
    }
    AXError setAttributeValue(std::string_view attribute, const Value&) const override {
        if (!exists()) return gone();
        return listed(kAttributes, attribute) ? AXError::illegalArgument : AXError::attributeUnsupported;
    }
    AXError performAction(std::string_view action) const override {
        if (action == kAXPressAction) return press();
        return exists() ? AXError::actionUnsupported : gone();
    }
    AXResult<std::uint32_t> windowNumber() const override { return fail<std::uint32_t>(AXError::failure); }
    std::string description() const override { return description_; }

protected:
    virtual bool exists() const = 0;
    virtual AXError gone() const = 0;
    virtual AXElement window() const = 0;
    // Fails as `gone` when the button is not there.
    virtual AXError press() const = 0;

    std::int32_t pid_;

private:
    static constexpr std::initializer_list<std::string_view> kAttributes = {
        kAXRoleAttribute, kAXSubroleAttribute, kAXParentAttribute};
    std::string description_;
};

// One element per key while anyone holds it, so equal handles mean the same element.
template <class Key, class N>
class ElementTable {
public:
    // The live element of `key` if `fits` takes it, else a new one from `make`.
    template <class Fits, class Make>
    AXElement find(Key key, Fits fits, Make make) {
        sweep();
        if (auto node = nodes_[key].lock(); node && fits(*node)) return AXElement(node);
        std::shared_ptr<N> node = make();
        nodes_[key] = node;
        return AXElement(node);
    }

private:
    // Forgets the elements nobody holds, when the table has doubled since the last time.
    void sweep() {
        if (nodes_.size() < sweepAt_) return;
        std::erase_if(nodes_, [](const auto& entry) { return entry.second.expired(); });
        sweepAt_ = std::max<size_t>(64, 2 * nodes_.size());
    }

    std::map<Key, std::weak_ptr<N>> nodes_;
    size_t sweepAt_ = 64;
};

}  // namespace tarvolin::synthesized
