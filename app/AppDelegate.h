#pragma once

#include "inventory/WindowInfoModel.h"
#include "platform/Platform.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvolin {

inline constexpr const char* kAgentPasteboardName = "TarvolinAgentPB";
inline constexpr Duration kPollInterval = std::chrono::milliseconds(100);

// The agent: all its state, and the operations of every subsystem. Member
// functions live with their subsystem (app/, inventory/, commands/, actions/).
class AppDelegate final : public ApplicationDelegate {
public:
    explicit AppDelegate(Platform& platform);
    ~AppDelegate() override;
    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

    // Lifecycle (app/)
    void applicationDidFinishLaunching() override;
    void deduplicateRunningInstances();
    void receiveWakeNote(const Notification& notification);
    void applicationWillTerminate() override;
    bool isAccessibilityEnabled();
    void openAccessibility();

    // Inventory (inventory/)
    WindowInfoRef sameWindowInfoAsLastByPid(std::int64_t pid, std::int64_t winId) const;
    void resetWindowInfo();
    AXElement AXUIElementRefByWinId(const std::optional<WindowNumberValue>& winId, std::int64_t pid);
    std::int64_t winOrderIndexByWindowInfoModel(const WindowInfoRef& record) const;
    void setWinKeyToWindowInfo();
    std::string winKeyByWindowInfo(const WindowInfoRef& record);
    Value::Array loadAllWinKey();
    std::int64_t appWinIdIndex(const WindowInfoRef& record) const;

    // Actions (actions/)
    void activateWindowByIndex(std::int64_t winId);
    void activateWindow(const WindowInfoRef& record);
    void closeWin(const WindowInfoRef& record);
    void quitApp(const WindowInfoRef& record, std::string_view appFileName);
    void activateApp(std::string_view appName);

    // Command channels (commands/)
    void tick();
    void defaultsChanged(const Notification& notification);

    // State
    std::string command() const;
    void setCommand(std::string value);
    const std::optional<UserDefaultsController>& userDefaultsController() const {
        return userDefaultsController_;
    }
    void setUserDefaultsController(std::optional<UserDefaultsController> v) {
        userDefaultsController_ = std::move(v);
    }
    const std::optional<WindowInfoList>& windowInfoArray() const { return windowInfoArray_; }
    void setWindowInfoArray(std::optional<WindowInfoList> v) { windowInfoArray_ = std::move(v); }
    const std::optional<WindowInfoList>& lastAllWindowInfoArray() const { return lastAllWindowInfoArray_; }
    void setLastAllWindowInfoArray(std::optional<WindowInfoList> v) {
        lastAllWindowInfoArray_ = std::move(v);
    }
    const std::optional<std::vector<std::string>>& allShowingWinKey() const { return allShowingWinKey_; }
    void setAllShowingWinKey(std::optional<std::vector<std::string>> v) { allShowingWinKey_ = std::move(v); }
    std::shared_ptr<const void> window() const;
    void setWindow(const std::shared_ptr<const void>& value);
    // The poll timer, once launch has made it.
    const std::shared_ptr<Timer>& tickTimer() const { return tick_; }
    bool hasReplyBlock() const { return static_cast<bool>(replyBlock_); }

private:
    struct KeyPass;
    std::string winKeyFor(const WindowInfoRef& record, const KeyPass& pass) const;
    void raiseLater(std::int64_t winId);
    // Clears the pasteboard contents read at `changeCount`. A clear that fails (full disk,
    // lock held elsewhere) costs one log line; the next poll retries it and does not run
    // those contents again.
    void consumePasteboard(std::int64_t changeCount);
    void sendCloseKeystrokeLater();
    // Runs `task` on the main thread later, unless the delegate is gone by then.
    void dispatchAfter(Duration delay, std::function<void()> task);

    Platform& platform_;
    // Expires with the delegate; deferred work checks it before touching the delegate.
    std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);
    std::shared_ptr<Pasteboard> pasteboard_;      // the agent's pasteboard, taken at launch
    std::optional<std::int64_t> unclearedCount_;  // contents taken (or stale at launch), clear still due

    std::function<void()> replyBlock_;
    std::shared_ptr<Timer> tick_;
    mutable std::mutex atomicFieldsMutex_;  // guards command_ and window_
    std::string command_;
    std::optional<UserDefaultsController> userDefaultsController_;
    std::optional<WindowInfoList> windowInfoArray_;
    std::optional<WindowInfoList> lastAllWindowInfoArray_;
    std::optional<std::vector<std::string>> allShowingWinKey_;
    std::weak_ptr<const void> window_;
};

}  // namespace tarvolin
