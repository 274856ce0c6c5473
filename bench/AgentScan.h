#pragma once

// What the agent asks of a desktop backend when every window is new: the list, the
// applications, and for each ordinary window its element (through its application's
// AXWindows), the attribute snapshot and the children.
#include "accessibility/UIElementUtilities.h"
#include "platform/linux/DesktopBackend.h"

#include <cstdint>
#include <variant>
#include <vector>

namespace tarvolin::bench {

// Returns the windows that got an element.
inline size_t agentFirstScan(DesktopBackend& d) {
    auto list = d.windows().copyWindowInfo(16, 0).value_or(std::vector<WindowDescription>{});
    auto apps = d.workspace().runningApplications();
    size_t found = 0;
    for (const WindowDescription& w : list) {
        auto number = w.number ? std::get_if<std::int64_t>(&*w.number) : nullptr;
        auto pid = w.ownerPid ? std::get_if<std::int64_t>(&*w.ownerPid) : nullptr;
        auto layer = w.layer ? std::get_if<std::int64_t>(&*w.layer) : nullptr;
        if (!number || !pid || !layer || *layer != 0) continue;
        AXElement app = d.accessibility().createApplication(static_cast<std::int32_t>(*pid));
        AXElement element;
        for (const Value& v :
             ax::copyAttributeValues(app, "AXWindows", 0, 1000).value.value_or(Value::Array{})) {
            if (v.asElement() && ax::getWindow(*v.asElement()).value == static_cast<std::uint32_t>(*number)) {
                element = *v.asElement();
                break;
            }
        }
        auto snapshot = UIElementUtilities::attributeDictionaryOfUIElement(element);
        auto count = ax::getAttributeValueCount(element, "AXChildren");
        if (count.ok()) ax::copyAttributeValues(element, "AXChildren", 0, *count.value);
        if (element && !snapshot.empty()) ++found;
    }
    return found;
}

}  // namespace tarvolin::bench
