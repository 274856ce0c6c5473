#include "UIElementUtilities.h"

#include "platform/AccessibilityNames.h"

#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <limits>

namespace tarvolin {

namespace {

// Parent chains come from other processes; a broken one must not make the walk endless.
constexpr size_t kMaxLineageDepth = 256;

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The leading decimal number of a text as a 32-bit float, blanks before it skipped; 0 without one.
// Out-of-range magnitudes become infinity or zero, as a float conversion would make them.
float leadingFloat(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && isSpace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    const size_t start = i;
    // Decimal exponent of the first significant digit, to tell overflow from underflow.
    std::int64_t leadExponent = 0;
    bool significant = false;
    size_t digits = 0;
    std::int64_t integerDigits = 0;
    for (; i < text.size() && isDigit(text[i]); ++i, ++digits) {
        if (text[i] != '0' && !significant) significant = true;
        if (significant) ++integerDigits;
    }
    if (significant) leadExponent = integerDigits - 1;
    if (i < text.size() && text[i] == '.') {
        std::int64_t position = 0;
        for (++i; i < text.size() && isDigit(text[i]); ++i, ++digits) {
            ++position;
            if (text[i] != '0' && !significant) {
                significant = true;
                leadExponent = -position;
            }
        }
    }
    if (digits == 0) return 0.0f;
    size_t end = i;
    std::int64_t exponent = 0;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        size_t j = i + 1;
        bool negativeExponent = false;
        if (j < text.size() && (text[j] == '+' || text[j] == '-')) negativeExponent = text[j++] == '-';
        if (j < text.size() && isDigit(text[j])) {
            for (; j < text.size() && isDigit(text[j]); ++j)
                exponent = std::min<std::int64_t>(exponent * 10 + (text[j] - '0'), 1'000'000'000);
            if (negativeExponent) exponent = -exponent;
            end = j;
        }
    }
    float value = 0.0f;
    const auto [ptr, ec] = std::from_chars(text.data() + start, text.data() + end, value);
    if (ec == std::errc::result_out_of_range)
        value = leadExponent + exponent > 0 ? std::numeric_limits<float>::infinity() : 0.0f;
    else if (ec != std::errc() || ptr != text.data() + end)
        value = 0.0f;
    return negative ? -value : value;
}

// The new geometry value that a terse text describes, or none when the text does not supply
// every number of the pattern: a half-parsed text must not move a window to 0,0.
std::optional<Value> geometryFromText(std::uint32_t kind, const std::string& text) {
    const char* s = text.c_str();
    float a = 0, b = 0, c = 0, d = 0;
    switch (kind) {
        case kAXValueCGPointType:
            if (std::sscanf(s, "x=%g y=%g", &a, &b) == 2) return Value(AXValue::point({a, b}));
            break;
        case kAXValueCGSizeType:
            if (std::sscanf(s, "w=%g h=%g", &a, &b) == 2) return Value(AXValue::size({a, b}));
            break;
        case kAXValueCGRectType:
            if (std::sscanf(s, "x=%g y=%g w=%g h=%g", &a, &b, &c, &d) == 4)
                return Value(AXValue::rect({a, b, c, d}));
            break;
        case kAXValueCFRangeType: {
            std::int64_t location = 0, length = 0;
            if (std::sscanf(s, "pos=%" SCNd64 " len=%" SCNd64, &location, &length) == 2)
                return Value(AXValue::range({location, length}));
            break;
        }
        default:
            break;
    }
    return std::nullopt;
}

}  // namespace

// ---------------------------------------------------------------- element reports

std::vector<std::string> UIElementUtilities::lineageOfUIElement(const AXElement& element) {
    std::vector<std::string> upwards;
    // Held until the walk ends, so that no visited element's identity can be reused meanwhile.
    std::vector<AXElement> visited;
    AXElement current = element;
    for (;;) {
        upwards.push_back(descriptionOfValue(Value(current), false).value_or(std::string()));
        visited.push_back(current);
        if (upwards.size() >= kMaxLineageDepth) break;
        auto parent = parentOfUIElement(current);
        const AXElement* next = parent ? parent->asElement() : nullptr;
        if (!next || !*next) break;
        if (std::find(visited.begin(), visited.end(), *next) != visited.end()) break;
        current = *next;
    }
    std::reverse(upwards.begin(), upwards.end());
    return upwards;
}

std::string UIElementUtilities::lineageDescriptionOfUIElement(const AXElement& element) {
    std::string out;
    std::string indent;
    for (const auto& entry : lineageOfUIElement(element)) {
        out += indent + entry + "\n";
        indent += ' ';
    }
    return out;
}

std::string UIElementUtilities::stringDescriptionOfUIElement(const AXElement& element) {
    std::string out = lineageDescriptionOfUIElement(element);
    auto attributes = attributeNamesOfUIElement(element);
    if (attributes && !attributes->empty()) {
        out += "\nAttributes:\n";
        for (const auto& name : *attributes) {
            const bool settable = canSetAttribute(name, element);
            auto text = descriptionForUIElement(element, name, false);
            out +=
                "   " + name + (settable ? " (W)" : "") + ":  \u201C" + text.value_or("(null)") + "\u201D\n";
        }
    }
    auto actions = actionNamesOfUIElement(element);
    if (actions && !actions->empty()) {
        out += "\nActions:\n";
        for (const auto& name : *actions)
            out += "   " + name + " - " + descriptionOfAction(name, element).value_or("(null)") + "\n";
    }
    return out;
}

std::string UIElementUtilities::descriptionOfAXDescriptionOfUIElement(const AXElement& element) {
    auto description = valueOfAttribute(kAXDescriptionAttribute, element);
    if (!description || *description == Value("")) return "No Description";
    return description->description();
}

void UIElementUtilities::setStringValue(std::string_view stringValue, std::string_view attribute,
                                        const AXElement& element) {
    if (attribute.empty()) return;
    // The current value decides how the text is read.
    auto current = ax::copyAttributeValue(element, attribute);
    if (!current.ok() || !current.value) return;
    std::optional<Value> next;
    if (const AXValue* geometry = current.value->asAXValue())
        next = geometryFromText(geometry->kind(), std::string(stringValue));
    else if (current.value->isString())
        next = Value(std::string(stringValue));
    else if (current.value->isNumber())
        next = Value::real(static_cast<double>(leadingFloat(stringValue)));
    if (next) (void)ax::setAttributeValue(element, attribute, *next);
}

// ---------------------------------------------------------------- screen geometry

Point UIElementUtilities::carbonScreenPointFromCocoaScreenPoint(Screens& screens, Point point) {
    std::optional<Rect> found;
    // Overlapping screens: the last one listed wins.
    for (const Rect& frame : screens.screenFrames())
        if (pointInRect(point, frame)) found = frame;
    if (!found) return Point{0, 0};
    return Point{point.x, found->height - point.y - 1};
}

Rect UIElementUtilities::flippedScreenBounds(Screens& screens, Rect bounds) {
    const auto frames = screens.screenFrames();
    double top = 0;
    if (!frames.empty())
        top = static_cast<double>(static_cast<float>(frames.front().y + frames.front().height));
    bounds.y = top - (bounds.y + bounds.height);
    return bounds;
}

Rect UIElementUtilities::frameOfUIElement(Screens& screens, const AXElement& element) {
    auto position = valueOfAttribute(kAXPositionAttribute, element);
    auto size = valueOfAttribute(kAXSizeAttribute, element);
    const AXValue* positionValue = position ? position->asAXValue() : nullptr;
    const AXValue* sizeValue = size ? size->asAXValue() : nullptr;
    auto origin = positionValue ? positionValue->pointValue() : std::nullopt;
    auto extent = sizeValue ? sizeValue->sizeValue() : std::nullopt;
    if (!origin || !extent) return Rect{};
    return flippedScreenBounds(screens, Rect{origin->x, origin->y, extent->width, extent->height});
}

}  // namespace tarvolin
