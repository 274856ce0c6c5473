#include "app/AppDelegate.h"

#include "commands/CommandParsing.h"
#include "commands/LogText.h"

namespace tarvolin {

namespace {

constexpr const char* kSomeTextKey = "SomeText";
constexpr const char* kHelloNotification = "HelloFromProcessOne";

std::string loggableValue(const std::optional<Value>& value) {
    if (!value) return "(null)";
    if (const auto* s = value->asString()) return loggableText(*s);
    return loggableText(value->description());
}

}  // namespace

void AppDelegate::defaultsChanged(const Notification& notification) {
    // The inventory belongs to the main thread; a store may post from another.
    if (!platform_.runLoop.isMainThread()) {
        platform_.runLoop.dispatchAsync([this, alive = std::weak_ptr<int>(lifetime_), notification] {
            if (!alive.expired()) defaultsChanged(notification);
        });
        return;
    }
    const auto* store = std::any_cast<std::shared_ptr<UserDefaults>>(&notification.object);
    if (!store || !*store) return;
    const auto value = (*store)->objectForKey(kSomeTextKey);
    if (!value) return;

    if (const std::string* text = value->asString()) {
        const DefaultsCommand command = parseSomeText(*text);
        if (command.verb == "Raise") {
            resetWindowInfo();
            if (auto winId = leadingInteger(command.argument)) activateWindowByIndex(*winId);
        } else if (command.verb == "Close") {
            resetWindowInfo();
            if (auto winId = leadingInteger(command.argument))
                for (const auto& r : *windowInfoArray_) {
                    if (r->winId() != *winId) continue;
                    closeWin(r);
                    break;
                }
        } else if (command.verb == "Quit") {
            resetWindowInfo();
            const QuitTarget target = parseQuitTarget(command.argument);
            for (const auto& r : *windowInfoArray_) {
                if (r->appName() != target.appName) continue;
                quitApp(r, target.appFileName);
                platform_.distributedNotifications.postNotificationName(kHelloNotification);
                break;
            }
        } else if (command.verb == "kill") {
            platform_.application.terminate(this);
            return;
        }
    }
    platform_.log.log(loggableValue((*store)->objectForKey(kSomeTextKey)));
}

}  // namespace tarvolin
