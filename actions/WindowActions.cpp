#include "app/AppDelegate.h"
#include "platform/AccessibilityNames.h"
#include "platform/NumberConversion.h"

namespace tarvolin {

namespace {

constexpr const char* kFinderBackNotification = "FinderBack";
constexpr const char* kCloseKeystrokeScript =
    "tell the application \"System Events\" to keystroke\"w\" using command down";
constexpr Duration kCloseKeystrokeDelay = std::chrono::milliseconds(100);

}  // namespace

void AppDelegate::activateWindowByIndex(std::int64_t winId) {
    if (!windowInfoArray_) return;
    for (const auto& r : *windowInfoArray_) {
        if (r->winId() != winId) continue;
        activateWindow(r);
        return;
    }
}

void AppDelegate::activateWindow(const WindowInfoRef& record) {
    const std::int64_t pid = record->pid();
    ax::performAction(record->uiEle(), kAXRaiseAction);
    if (auto psn = platform_.processes.getProcessForPID(low32(pid)))
        platform_.processes.setFrontProcessWithOptions(*psn, kSetFrontProcessFrontWindowOnly);
    platform_.darwinNotifications.postNotification(kFinderBackNotification, true);
}

void AppDelegate::closeWin(const WindowInfoRef& record) {
    auto button = ax::copyAttributeValue(record->uiEle(), kAXCloseButtonAttribute);
    const AXElement* closeButton = button.ok() && button.value ? button.value->asElement() : nullptr;
    if (closeButton && *closeButton) {
        ax::performAction(*closeButton, kAXPressAction);
        return;
    }
    activateWindow(record);
    sendCloseKeystrokeLater();
}

void AppDelegate::sendCloseKeystrokeLater() {
    dispatchAfter(kCloseKeystrokeDelay, [this] {
        platform_.scripts.executeScript(kCloseKeystrokeScript);
        platform_.log.log("");
    });
}

void AppDelegate::dispatchAfter(Duration delay, std::function<void()> task) {
    platform_.runLoop.dispatchAfter(delay, [alive = std::weak_ptr<int>(lifetime_), task = std::move(task)] {
        if (!alive.expired()) task();
    });
}

}  // namespace tarvolin
