#include "Accessibility.h"

#include <algorithm>

namespace tarvolin {

AXResult<Value::Array> AXElementNode::copyAttributeValues(std::string_view attribute, std::int64_t index,
                                                          std::int64_t maxCount) const {
    if (index < 0 || maxCount < 0) return AXResult<Value::Array>::failed(AXError::illegalArgument);
    auto v = copyAttributeValue(attribute);
    if (!v.ok()) return AXResult<Value::Array>::failed(v.error);
    const Value::Array* all = v.value ? v.value->asArray() : nullptr;
    if (!all) return AXResult<Value::Array>::failed(AXError::illegalArgument);
    const auto size = static_cast<std::int64_t>(all->size());
    const auto first = std::min(index, size);
    const auto last = first + std::min(maxCount, size - first);
    return AXResult<Value::Array>::success(Value::Array(all->begin() + first, all->begin() + last));
}

AXResult<std::int64_t> AXElementNode::attributeValueCount(std::string_view attribute) const {
    auto v = copyAttributeValue(attribute);
    if (!v.ok()) return AXResult<std::int64_t>::failed(v.error);
    const Value::Array* all = v.value ? v.value->asArray() : nullptr;
    if (!all) return AXResult<std::int64_t>::failed(AXError::illegalArgument);
    return AXResult<std::int64_t>::success(static_cast<std::int64_t>(all->size()));
}

}  // namespace tarvolin

namespace tarvolin::ax {

namespace {
template <class T, class F>
AXResult<T> ask(const AXElement& e, F&& f) {
    if (!e) return AXResult<T>::failed(AXError::illegalArgument);
    return f(*e.node());
}
}  // namespace

AXResult<std::int32_t> getPid(const AXElement& e) {
    return ask<std::int32_t>(e, [](const AXElementNode& n) { return n.pid(); });
}
AXResult<std::vector<std::string>> copyAttributeNames(const AXElement& e) {
    return ask<std::vector<std::string>>(e, [](const AXElementNode& n) { return n.copyAttributeNames(); });
}
AXResult<std::vector<std::string>> copyActionNames(const AXElement& e) {
    return ask<std::vector<std::string>>(e, [](const AXElementNode& n) { return n.copyActionNames(); });
}
AXResult<std::string> copyActionDescription(const AXElement& e, std::string_view action) {
    return ask<std::string>(e, [&](const AXElementNode& n) { return n.copyActionDescription(action); });
}
AXResult<Value> copyAttributeValue(const AXElement& e, std::string_view attribute) {
    return ask<Value>(e, [&](const AXElementNode& n) { return n.copyAttributeValue(attribute); });
}
AXResult<Value::Array> copyAttributeValues(const AXElement& e, std::string_view attribute, std::int64_t index,
                                           std::int64_t maxCount) {
    return ask<Value::Array>(
        e, [&](const AXElementNode& n) { return n.copyAttributeValues(attribute, index, maxCount); });
}
AXResult<std::int64_t> getAttributeValueCount(const AXElement& e, std::string_view attribute) {
    return ask<std::int64_t>(e, [&](const AXElementNode& n) { return n.attributeValueCount(attribute); });
}
AXResult<bool> isAttributeSettable(const AXElement& e, std::string_view attribute) {
    return ask<bool>(e, [&](const AXElementNode& n) { return n.isAttributeSettable(attribute); });
}
AXError setAttributeValue(const AXElement& e, std::string_view attribute, const Value& value) {
    return e ? e.node()->setAttributeValue(attribute, value) : AXError::illegalArgument;
}
AXError performAction(const AXElement& e, std::string_view action) {
    return e ? e.node()->performAction(action) : AXError::illegalArgument;
}
AXResult<std::uint32_t> getWindow(const AXElement& e) {
    return ask<std::uint32_t>(e, [](const AXElementNode& n) { return n.windowNumber(); });
}

}  // namespace tarvolin::ax
