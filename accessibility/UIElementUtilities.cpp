#include "UIElementUtilities.h"

#include "platform/AccessibilityNames.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>

namespace tarvolin {

namespace {

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));

std::string format(const char* pattern, ...) {
    char buf[256];
    va_list args;
    va_start(args, pattern);
    const int n = std::vsnprintf(buf, sizeof buf, pattern, args);
    va_end(args);
    if (n < 0) return {};
    if (static_cast<size_t>(n) < sizeof buf) return std::string(buf, static_cast<size_t>(n));
    std::string out(static_cast<size_t>(n) + 1, '\0');
    va_start(args, pattern);
    std::vsnprintf(out.data(), out.size(), pattern, args);
    va_end(args);
    out.resize(static_cast<size_t>(n));
    return out;
}

// What "%@" makes of an object: its own text, "(null)" for none.
std::string objectText(const std::optional<Value>& value) { return value ? value->description() : "(null)"; }

std::string describeElement(const AXElement& element) {
    auto role = ax::copyAttributeValue(element, kAXRoleAttribute);
    if (!role.ok()) return Value(element).description();
    // A title counts only when the element lists it, whatever its kind.
    auto title = UIElementUtilities::titleOfUIElement(element);
    if (title) return "<" + objectText(role.value) + ": \u201C" + title->description() + "\u201D>";
    return "<" + objectText(role.value) + ">";
}

}  // namespace

// ---------------------------------------------------------------- queries

std::int32_t UIElementUtilities::processIdentifierOfUIElement(const AXElement& element) {
    auto r = ax::getPid(element);
    return r.ok() && r.value ? *r.value : 0;
}

std::optional<std::vector<std::string>> UIElementUtilities::attributeNamesOfUIElement(
    const AXElement& element) {
    return ax::copyAttributeNames(element).value;
}

std::optional<std::vector<std::string>> UIElementUtilities::actionNamesOfUIElement(const AXElement& element) {
    return ax::copyActionNames(element).value;
}

std::optional<std::string> UIElementUtilities::descriptionOfAction(std::string_view action,
                                                                   const AXElement& element) {
    return ax::copyActionDescription(element, action).value;
}

void UIElementUtilities::performAction(std::string_view action, const AXElement& element) {
    (void)ax::performAction(element, action);
}

std::optional<Value> UIElementUtilities::valueOfAttribute(std::string_view attribute,
                                                          const AXElement& element) {
    // An attribute the element does not list is never asked for.
    auto names = attributeNamesOfUIElement(element);
    if (!names || std::find(names->begin(), names->end(), attribute) == names->end()) return std::nullopt;
    return ax::copyAttributeValue(element, attribute).value;
}

bool UIElementUtilities::canSetAttribute(std::string_view attribute, const AXElement& element) {
    auto r = ax::isAttributeSettable(element, attribute);
    return r.ok() && r.value.value_or(false);
}

std::optional<Value> UIElementUtilities::parentOfUIElement(const AXElement& element) {
    return valueOfAttribute(kAXParentAttribute, element);
}

std::optional<Value> UIElementUtilities::roleOfUIElement(const AXElement& element) {
    return valueOfAttribute(kAXRoleAttribute, element);
}

std::optional<Value> UIElementUtilities::titleOfUIElement(const AXElement& element) {
    return valueOfAttribute(kAXTitleAttribute, element);
}

bool UIElementUtilities::isApplicationUIElement(const AXElement& element) {
    auto role = roleOfUIElement(element);
    const std::string* text = role ? role->asString() : nullptr;
    return text && *text == kAXApplicationRole;
}

// ---------------------------------------------------------------- descriptions

std::string UIElementUtilities::stringDescriptionOfAXValue(const AXValue& value, bool beingVerbose) {
    switch (value.kind()) {
        case kAXValueCGPointType:
            if (auto p = value.pointValue())
                return beingVerbose ? format("<AXPointValue x=%g y=%g>", p->x, p->y)
                                    : format("x=%g y=%g", p->x, p->y);
            break;
        case kAXValueCGSizeType:
            if (auto s = value.sizeValue())
                return beingVerbose ? format("<AXSizeValue w=%g h=%g>", s->width, s->height)
                                    : format("w=%g h=%g", s->width, s->height);
            break;
        case kAXValueCGRectType:
            if (auto r = value.rectValue())
                return beingVerbose
                           ? format("<AXRectValue  x=%g y=%g w=%g h=%g>", r->x, r->y, r->width, r->height)
                           : format("x=%g y=%g w=%g h=%g", r->x, r->y, r->width, r->height);
            break;
        case kAXValueCFRangeType:
            if (auto g = value.rangeValue())
                return beingVerbose
                           ? format("<AXRangeValue pos=%" PRId64 " len=%" PRId64 ">", g->location, g->length)
                           : format("pos=%" PRId64 " len=%" PRId64, g->location, g->length);
            break;
        default:
            break;
    }
    return "AXValue???";
}

std::optional<std::string> UIElementUtilities::descriptionOfValue(const std::optional<Value>& value,
                                                                  bool beingVerbose) {
    if (!value) return std::nullopt;
    if (const AXValue* geometry = value->asAXValue(); geometry && geometry->kind() != kAXValueIllegalType)
        return stringDescriptionOfAXValue(*geometry, beingVerbose);
    if (const Value::Array* array = value->asArray()) return format("<array of size %zu>", array->size());
    if (const AXElement* element = value->asElement()) return describeElement(*element);
    return value->description();
}

std::optional<std::string> UIElementUtilities::descriptionForUIElement(const AXElement& element,
                                                                       std::string_view attribute,
                                                                       bool beingVerbose) {
    // These can hold thousands of elements; their count is all a description needs.
    if (attribute == kAXChildrenAttribute || attribute == kAXRowsAttribute) {
        auto count = ax::getAttributeValueCount(element, attribute);
        if (count.ok() && count.value) return format("<array of size %" PRId64 ">", *count.value);
    }
    auto copied = ax::copyAttributeValue(element, attribute);
    if (!copied.ok() || !copied.value) return std::nullopt;
    return descriptionOfValue(copied.value, beingVerbose);
}

Value::Dictionary UIElementUtilities::attributeDictionaryOfUIElement(const AXElement& element) {
    Value::Dictionary snapshot;
    auto names = attributeNamesOfUIElement(element);
    if (!names) return snapshot;
    for (const auto& name : *names) {
        auto text = descriptionForUIElement(element, name, false);
        snapshot.insert_or_assign(name, text ? Value(std::move(*text)) : Value::null());
    }
    return snapshot;
}

}  // namespace tarvolin
