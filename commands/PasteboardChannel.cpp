#include "app/AppDelegate.h"

#include "actions/ScriptText.h"
#include "commands/CommandParsing.h"
#include "commands/LogText.h"

namespace tarvolin {

namespace {

constexpr const char* kHelloNotification = "HelloFromProcessOne";
constexpr Duration kRaiseAfterActivation = std::chrono::milliseconds(500);

}  // namespace

void AppDelegate::tick() {
    if (!pasteboard_) pasteboard_ = platform_.pasteboards.pasteboardWithName(kAgentPasteboardName);
    if (!pasteboard_->canReadString()) return;
    const PasteboardRead read = pasteboard_->readStrings();
    if (read.texts.empty()) return;  // emptied since the check

    // Only what was read is consumed: a newer command written meanwhile stays for the next poll.
    auto consume = [&] { pasteboard_->clearContentsIfChangeCount(read.changeCount); };

    if (auto command = parsePasteboardCommand(read.texts.front())) {
        resetWindowInfo();
        consume();
        const std::string cmd = command->wellFormed ? command->cmd.value_or("") : "";
        if (cmd == "raise") {
            if (command->activate) {
                activateApp(removingOccurrences(*command->activate, "Quit:"));
                if (command->winId) raiseLater(*command->winId);
            } else if (command->winId) {
                activateWindowByIndex(*command->winId);
            }
        }
        if (cmd == "quit" && command->winIdText) {
            resetWindowInfo();
            const QuitTarget target = parseQuitTarget(removingOccurrences(*command->winIdText, "Quit:"));
            consume();
            for (const auto& r : *windowInfoArray_) {
                if (r->appName() != target.appName) continue;
                quitApp(r, target.appFileName);
                platform_.distributedNotifications.postNotificationName(kHelloNotification);
                break;
            }
        }
        if (cmd == "close") {
            resetWindowInfo();
            consume();
            if (command->winId)
                for (const auto& r : *windowInfoArray_) {
                    if (r->winId() != *command->winId) continue;
                    closeWin(r);
                    break;
                }
        }
    }
    platform_.log.log(loggableList(read.texts));
}

void AppDelegate::raiseLater(std::int64_t winId) {
    dispatchAfter(kRaiseAfterActivation, [this, winId] { activateWindowByIndex(winId); });
}

}  // namespace tarvolin
