#include "inventory/WindowScan.h"

#include "platform/AccessibilityNames.h"

#include "accessibility/UIElementUtilities.h"
#include "app/AppDelegate.h"
#include "platform/NumberConversion.h"

#include <unordered_map>

namespace tarvolin {

namespace {

constexpr std::int64_t kMaxWindowElements = 1000;
constexpr Size kIconSize{32.0, 32.0};

std::int64_t numberOr0(const std::optional<WindowNumberValue>& v) { return v ? truncatedInt64(*v) : 0; }

struct PidWinId {
    std::int64_t pid, winId;
    bool operator==(const PidWinId&) const = default;
};
struct PidWinIdHash {
    size_t operator()(const PidWinId& k) const {
        return std::hash<std::int64_t>()(k.pid) * 31u + std::hash<std::int64_t>()(k.winId);
    }
};

// The window number as the log shows a number object.
std::string numberText(const std::optional<WindowNumberValue>& v) {
    if (!v) return "(null)";
    if (const auto* i = std::get_if<std::int64_t>(&*v)) return std::to_string(*i);
    return Value::real(std::get<double>(*v)).description();
}

}  // namespace

std::optional<Value::Array> childrenOfUIElement(const AXElement& element) {
    auto count = ax::getAttributeValueCount(element, kAXChildrenAttribute);
    if (!count.ok() || !count.value) return std::nullopt;
    auto children = ax::copyAttributeValues(element, kAXChildrenAttribute, 0, *count.value);
    if (!children.ok()) return std::nullopt;
    return children.value;
}

WindowInfoRef AppDelegate::sameWindowInfoAsLastByPid(std::int64_t pid, std::int64_t winId) const {
    if (!windowInfoArray_) return nullptr;
    for (const auto& r : *windowInfoArray_)
        if (r->pid() == pid && r->winId() == winId) return r;
    return nullptr;
}

AXElement AppDelegate::AXUIElementRefByWinId(const std::optional<WindowNumberValue>& winId,
                                             std::int64_t pid) {
    platform_.log.log(numberText(winId) + " : " + std::to_string(pid));
    const auto target = static_cast<std::uint32_t>(winId ? truncatedInt64(*winId) : 0);
    // The application element and the window list go when this returns; only the
    // element handed back lives on, for as long as records refer to it.
    AXElement application = platform_.accessibility.createApplication(low32(pid));
    auto windows = ax::copyAttributeValues(application, kAXWindowsAttribute, 0, kMaxWindowElements);
    if (!windows.value) return {};
    for (const Value& v : *windows.value) {
        const AXElement* element = v.asElement();
        if (!element) continue;
        auto number = ax::getWindow(*element);
        if (number.ok() && number.value == target) return *element;
    }
    return {};
}

void AppDelegate::resetWindowInfo() {
    WindowInfoList fresh;
    const std::vector<RunningApplication> applications = platform_.workspace.runningApplications();
    auto list = platform_.windows.copyWindowInfo(kCGWindowListExcludeDesktopElements, kCGNullWindowID);

    if (list && !list->empty()) {
        // Lookups made once per pass keep the scan linear in the number of windows;
        // the first earlier record and the first application in list order win.
        std::unordered_map<PidWinId, WindowInfoRef, PidWinIdHash> earlier;
        if (windowInfoArray_)
            for (const auto& r : *windowInfoArray_) earlier.try_emplace({r->pid(), r->winId()}, r);
        std::unordered_map<std::int64_t, const RunningApplication*> byPid;
        for (const auto& a : applications) byPid.try_emplace(a.processIdentifier, &a);

        for (size_t i = 0; i < list->size(); ++i) {
            const WindowDescription& d = (*list)[i];
            const std::int64_t pid = numberOr0(d.ownerPid);
            const std::int64_t winId = numberOr0(d.number);
            if (numberOr0(d.layer) != 0) continue;
            if (!(numberOr0(d.alpha) > 0)) continue;

            Image icon;
            std::optional<std::string> appName;
            AXElement element;
            AttributeSnapshot attributes;
            std::optional<Value::Array> children;
            if (auto it = earlier.find({pid, winId}); it != earlier.end()) {
                const WindowInfoRef& last = it->second;
                icon = last->icon();
                appName = last->appName();
                element = last->uiEle();
                attributes = last->uiEleAttributes();
            } else {
                auto app = byPid.find(pid);
                if (app == byPid.end()) continue;
                appName = app->second->localizedName;
                const Image& appIcon = app->second->icon;
                icon = platform_.graphics.drawImage(
                    kIconSize, Rect{0, 0, kIconSize.width, kIconSize.height}, appIcon,
                    Rect{0, 0, appIcon.size().width, appIcon.size().height}, CompositingOperation::copy, 1.0);
                element = AXUIElementRefByWinId(d.number, pid);
                attributes = std::make_shared<const Value::Dictionary>(
                    UIElementUtilities::attributeDictionaryOfUIElement(element));
                children = childrenOfUIElement(element);
            }

            std::optional<std::string> winName = d.name;
            if (!winName || winName->empty()) winName = appName;
            const auto& b = d.bounds;

            auto record = std::make_shared<WindowInfoModel>();
            record->setKey(std::string());
            record->setIcon(std::move(icon));
            record->setOriginalWinName(d.name);
            record->setWinName(std::move(winName));
            record->setAppName(std::move(appName));
            record->setWinId(winId);
            record->setPid(pid);
            record->setUiEle(std::move(element));
            record->setUiEleAttributes(std::move(attributes));
            record->setUiEleChildren(std::move(children));
            record->setX(b ? numberOr0(b->x) : 0);
            record->setY(b ? numberOr0(b->y) : 0);
            record->setWidth(b ? numberOr0(b->width) : 0);
            record->setHeight(b ? numberOr0(b->height) : 0);
            fresh.push_back(std::move(record));
        }
    }

    setLastAllWindowInfoArray(fresh);
    setWindowInfoArray(std::move(fresh));
    setWinKeyToWindowInfo();
}

}  // namespace tarvolin
