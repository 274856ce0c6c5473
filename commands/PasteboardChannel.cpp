#include "app/AppDelegate.h"

#include "actions/ScriptText.h"
#include "commands/CommandParsing.h"
#include "commands/LogText.h"

#include <exception>

namespace tarvolin {

namespace {

constexpr const char* kHelloNotification = "HelloFromProcessOne";
constexpr Duration kRaiseAfterActivation = std::chrono::milliseconds(500);

}  // namespace

void AppDelegate::consumePasteboard(std::int64_t changeCount) {
    try {
        // Only what was read is consumed: a newer command written meanwhile stays for the next poll.
        pasteboard_->clearContentsIfChangeCount(changeCount);
        unclearedCount_.reset();
    } catch (const std::exception& e) {
        if (unclearedCount_ != changeCount)
            platform_.log.log(std::string("tarvolin: cannot clear the pasteboard (") + e.what() +
                              "); retrying at the next poll");
        unclearedCount_ = changeCount;
    }
}

void AppDelegate::tick() {
    if (!pasteboard_) pasteboard_ = platform_.pasteboards.pasteboardWithName(kAgentPasteboardName);
    if (unclearedCount_) consumePasteboard(*unclearedCount_);
    if (!pasteboard_->canReadString()) return;
    const PasteboardRead read = pasteboard_->readStrings();
    if (read.changeCount == unclearedCount_) return;  // taken already; only its clear is due
    if (read.texts.empty()) {
        // Contents that can never be read would otherwise be re-read at every poll.
        if (!read.unreadable.empty()) {
            platform_.log.log(std::string("tarvolin: clearing the pasteboard: ") + read.unreadable);
            consumePasteboard(read.changeCount);
        }
        return;  // else emptied since the check
    }

    auto consume = [&] { consumePasteboard(read.changeCount); };

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
