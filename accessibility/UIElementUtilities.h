#pragma once

#include "platform/Accessibility.h"
#include "platform/Geometry.h"
#include "platform/Screens.h"
#include "platform/Value.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvolin {

// Stateless operations over accessibility elements. Each read goes straight to
// the element's process; nothing is cached.
class UIElementUtilities {
public:
    UIElementUtilities() = delete;

    // Queries
    static std::int32_t processIdentifierOfUIElement(const AXElement& element);
    static std::optional<std::vector<std::string>> attributeNamesOfUIElement(const AXElement& element);
    static std::optional<std::vector<std::string>> actionNamesOfUIElement(const AXElement& element);
    static std::optional<std::string> descriptionOfAction(std::string_view action, const AXElement& element);
    static void performAction(std::string_view action, const AXElement& element);
    static std::optional<Value> valueOfAttribute(std::string_view attribute, const AXElement& element);
    static bool canSetAttribute(std::string_view attribute, const AXElement& element);
    static std::optional<Value> parentOfUIElement(const AXElement& element);
    static std::optional<Value> roleOfUIElement(const AXElement& element);
    static std::optional<Value> titleOfUIElement(const AXElement& element);
    static bool isApplicationUIElement(const AXElement& element);

    // Value descriptions and the attribute snapshot
    static std::string stringDescriptionOfAXValue(const AXValue& value, bool beingVerbose);
    static std::optional<std::string> descriptionOfValue(const std::optional<Value>& value,
                                                         bool beingVerbose);
    static std::optional<std::string> descriptionForUIElement(const AXElement& element,
                                                              std::string_view attribute, bool beingVerbose);
    static Value::Dictionary attributeDictionaryOfUIElement(const AXElement& element);

    // Element reports and value setting
    static std::vector<std::string> lineageOfUIElement(const AXElement& element);
    static std::string lineageDescriptionOfUIElement(const AXElement& element);
    static std::string stringDescriptionOfUIElement(const AXElement& element);
    static std::string descriptionOfAXDescriptionOfUIElement(const AXElement& element);
    static void setStringValue(std::string_view stringValue, std::string_view attribute,
                               const AXElement& element);

    // Screen geometry
    static Point carbonScreenPointFromCocoaScreenPoint(Screens& screens, Point point);
    static Rect flippedScreenBounds(Screens& screens, Rect bounds);
    static Rect frameOfUIElement(Screens& screens, const AXElement& element);
};

}  // namespace tarvolin
