#pragma once

#include <string_view>

namespace tarvolin {

// Attribute, role and action names, as the accessibility service spells them.
inline constexpr std::string_view kAXRoleAttribute = "AXRole";
inline constexpr std::string_view kAXSubroleAttribute = "AXSubrole";
inline constexpr std::string_view kAXTitleAttribute = "AXTitle";
inline constexpr std::string_view kAXDescriptionAttribute = "AXDescription";
inline constexpr std::string_view kAXParentAttribute = "AXParent";
inline constexpr std::string_view kAXChildrenAttribute = "AXChildren";
inline constexpr std::string_view kAXRowsAttribute = "AXRows";
inline constexpr std::string_view kAXWindowsAttribute = "AXWindows";
inline constexpr std::string_view kAXPositionAttribute = "AXPosition";
inline constexpr std::string_view kAXSizeAttribute = "AXSize";
inline constexpr std::string_view kAXMinimizedAttribute = "AXMinimized";
inline constexpr std::string_view kAXMainAttribute = "AXMain";
inline constexpr std::string_view kAXFocusedAttribute = "AXFocused";
inline constexpr std::string_view kAXCloseButtonAttribute = "AXCloseButton";
inline constexpr std::string_view kAXApplicationRole = "AXApplication";
inline constexpr std::string_view kAXRaiseAction = "AXRaise";
inline constexpr std::string_view kAXPressAction = "AXPress";

}  // namespace tarvolin
