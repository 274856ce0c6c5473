#include "app/AppDelegate.h"

#include <exception>

namespace tarvolin {

namespace {

// Five lines joined by a space, a line feed and a space.
constexpr const char* kOpenAccessibilityScript =
    "tell application \"System Preferences\" \n"
    " set securityPane to pane id \"com.apple.preference.security\" \n"
    " tell securityPane to reveal anchor \"Privacy_Accessibility\" \n"
    " activate \n"
    " end tell";

}  // namespace

AppDelegate::AppDelegate(Platform& platform) : platform_(platform) {}

AppDelegate::~AppDelegate() { platform_.notificationCenter.removeObserver(this); }

void AppDelegate::applicationDidFinishLaunching() {
    setUserDefaultsController(
        UserDefaultsController{platform_.userDefaults.sharedUserDefaults(), std::nullopt});
    {
        std::lock_guard lock(atomicFieldsMutex_);
        command_ = "";
    }
    platform_.notificationCenter.addObserver(this, NSUserDefaultsDidChangeNotification,
                                             [this](const Notification& n) { defaultsChanged(n); });
    isAccessibilityEnabled();
    setWindowInfoArray(WindowInfoList{});
    // The sleep observation and the timer outlive the delegate, so they check that it is still there.
    const std::weak_ptr<int> alive = lifetime_;
    platform_.workspace.notificationCenter().addObserver(this, NSWorkspaceWillSleepNotification,
                                                         [this, alive](const Notification& n) {
                                                             if (!alive.expired()) receiveWakeNote(n);
                                                         });
    pasteboard_ = platform_.pasteboards.pasteboardWithName(kAgentPasteboardName);
    std::int64_t stale = 0;
    try {
        stale = pasteboard_->changeCount();
        pasteboard_->clearContents();
    } catch (const std::exception& e) {
        // What was there before launch is still never run: the polls clear it first.
        platform_.log.log(std::string("tarvolin: cannot clear the pasteboard at launch (") + e.what() +
                          "); retrying at every poll");
        unclearedCount_ = stale;
    }
    tick_ = Timer::make(kPollInterval, true, [this, alive] {
        if (!alive.expired()) tick();
    });
    platform_.runLoop.addTimer(tick_);
    deduplicateRunningInstances();
}

void AppDelegate::deduplicateRunningInstances() {
    const std::string bundleIdentifier = platform_.application.bundleIdentifier();
    if (platform_.workspace.runningApplicationsWithBundleIdentifier(bundleIdentifier).size() >= 2)
        platform_.application.terminate(nullptr);
}

void AppDelegate::receiveWakeNote(const Notification&) { platform_.application.terminate(this); }

void AppDelegate::applicationWillTerminate() {}

bool AppDelegate::isAccessibilityEnabled() {
    return platform_.accessibility.isProcessTrustedWithOptions(true);
}

void AppDelegate::openAccessibility() { platform_.scripts.executeScript(kOpenAccessibilityScript); }

std::string AppDelegate::command() const {
    std::lock_guard lock(atomicFieldsMutex_);
    return command_;
}

void AppDelegate::setCommand(std::string value) {
    std::lock_guard lock(atomicFieldsMutex_);
    command_ = std::move(value);
}

std::shared_ptr<const void> AppDelegate::window() const {
    std::lock_guard lock(atomicFieldsMutex_);
    return window_.lock();
}

void AppDelegate::setWindow(const std::shared_ptr<const void>& value) {
    std::lock_guard lock(atomicFieldsMutex_);
    window_ = value;
}

}  // namespace tarvolin
