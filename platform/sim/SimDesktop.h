#pragma once

#include "platform/LocalNotificationCenter.h"
#include "platform/PixmanGraphics.h"
#include "platform/Platform.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace tarvolin::sim {

class SimDesktop;
class SimProcess;

// Requests made of the instrumented services, for tests and benchmarks to state costs.
struct SimCounters {
    // Window service
    std::int64_t windowListRequests = 0;
    // Workspace
    std::int64_t runningApplicationsRequests = 0;
    // Accessibility, by request kind
    std::int64_t trustChecks = 0;
    std::int64_t createApplication = 0;
    std::int64_t getPid = 0;
    std::int64_t attributeNames = 0;
    std::int64_t actionNames = 0;
    std::int64_t actionDescription = 0;
    std::int64_t attributeValue = 0;
    std::int64_t attributeValues = 0;
    std::int64_t attributeValueCount = 0;
    std::int64_t attributeSettable = 0;
    std::int64_t setAttributeValue = 0;
    std::int64_t performAction = 0;
    std::int64_t getWindow = 0;
    // Scripts
    std::int64_t scripts = 0;
    // Pasteboards
    std::int64_t pasteboardChecks = 0;
    std::int64_t pasteboardReads = 0;
    std::int64_t pasteboardClears = 0;

    std::int64_t accessibilityRequests() const {
        return createApplication + getPid + attributeNames + actionNames + actionDescription +
               attributeValue + attributeValues + attributeValueCount + attributeSettable +
               setAttributeValue + performAction + getWindow;
    }
};

// One element of a simulated interface tree. Attributes are answered by
// functions, so they can reflect the desktop as it stands.
struct SimElement {
    struct Attribute {
        std::string name;
        std::function<AXResult<Value>()> get;
        std::function<AXResult<std::int64_t>()> count;  // empty: counted from `get` for arrays
        std::function<AXError(const Value&)> set;       // empty: not settable
    };
    struct Action {
        std::string name;
        std::string description;
        std::function<AXError()> perform;
    };

    std::int32_t pid = 0;
    std::string label;  // for the element's own description text
    std::optional<std::uint32_t> windowNumber;
    std::vector<Attribute> attributes;
    std::vector<Action> actions;
    bool failNames = false;    // the attribute-name request fails
    bool failActions = false;  // the action-name request fails
    int liveHandles = 0;       // handles given out and not yet released
    std::int64_t handlesMade = 0;

    // A fixed attribute; `value` none: listed but without a value.
    SimElement& setAttribute(std::string name, std::optional<Value> value, bool settable = false);
    SimElement& addAction(std::string name, std::string description, std::function<AXError()> perform = {});
    Attribute* attribute(std::string_view name);
};

struct PostedNotification {
    std::string name;
    Duration time;
    bool deliverImmediately = false;
};

struct LogLine {
    std::string text;
    Duration time;
    std::int32_t pid;
};

struct ScriptRecord {
    std::string source;
    Duration started;
    Duration finished;
    ScriptResult result;
};

struct TerminationRecord {
    const void* sender;
    Duration time;
};

// What a script does when run; may advance the clock (the caller blocks meanwhile).
using ScriptBehaviour = std::function<ScriptResult(std::string_view source, SimDesktop& desktop)>;

struct WindowSpec {
    std::int32_t pid = 0;
    std::int64_t number = 0;
    std::optional<std::string> title;
    Rect bounds{0, 0, 400, 300};
    double alpha = 1.0;
    std::int64_t layer = 0;
    bool accessible = true;  // has an accessibility element
    bool hasCloseButton = true;
    bool closesOnKeystroke = true;  // closes on the close keystroke when frontmost
};

struct SimWindow {
    WindowDescription description;  // what the window service reports; tests may edit it
    std::int32_t pid = 0;
    std::int64_t number = 0;
    bool closesOnKeystroke = true;
    std::shared_ptr<SimElement> element;      // none when not accessible
    std::shared_ptr<SimElement> closeButton;  // none when it has no close button
};

// The simulated desktop: windows, applications, accessibility trees, screens,
// pasteboards, defaults domains, notifications, scripts, a log and a virtual
// clock shared by every simulated process.
class SimDesktop {
public:
    SimDesktop();
    ~SimDesktop();
    SimDesktop(const SimDesktop&) = delete;
    SimDesktop& operator=(const SimDesktop&) = delete;

    // Processes of the agent (or of anything else that runs against the platform).
    SimProcess& startProcess(std::int32_t pid, std::string bundleIdentifier = "org.tarvolin.agent");

    // Applications and windows
    void addApplication(std::int32_t pid, std::optional<std::string> name, Image icon = {},
                        std::string bundleIdentifier = {});
    void removeApplication(std::int32_t pid);  // its windows stay until closed
    std::vector<RunningApplication> runningApplications() const;
    // Placed behind the existing windows. The reference lasts until the window list changes.
    SimWindow& addWindow(const WindowSpec& spec);
    SimWindow* window(std::int64_t number);
    void removeWindow(std::int64_t number);
    std::vector<SimWindow>& windows() { return windows_; }
    // Front to back, as numbers.
    std::vector<std::int64_t> windowOrder() const;
    std::shared_ptr<SimElement> applicationElement(std::int32_t pid);
    void setWindowListAvailable(bool available) { windowListAvailable_ = available; }
    void setProcessResponsive(std::int32_t pid, bool responsive);
    bool processResponsive(std::int32_t pid) const { return !unresponsive_.count(pid); }
    // Runs inside every window-list request, before the list is taken.
    void onWindowListRequest(std::function<void()> hook) { windowListHook_ = std::move(hook); }
    std::optional<std::int32_t> frontProcess() const { return frontPid_; }
    // A free-standing element for accessibility tests.
    std::shared_ptr<SimElement> makeElement(std::int32_t pid, std::string label);
    AXElement handle(const std::shared_ptr<SimElement>& element);

    // Window actions the simulated desktop carries out.
    void raiseWindow(std::int64_t number);       // front window of its application
    void bringProcessForward(std::int32_t pid);  // its front window only
    void activateApplication(std::int32_t pid);  // all its windows
    bool closeWindow(std::int64_t number);
    void sendCloseKeystroke();

    // Screens, trust
    std::vector<Rect>& screens() { return screens_; }
    void setTrusted(bool trusted) { trusted_ = trusted; }
    int trustPrompts() const { return trustPrompts_; }

    // Pasteboards and defaults domains
    std::shared_ptr<Pasteboard> pasteboard(std::string_view name);
    std::shared_ptr<UserDefaults> defaultsDomain(std::string_view domain);
    // The next `count` pasteboard clears throw, as a clear on a full disk does.
    void failPasteboardClears(int count) { failingClears_ = count; }
    static constexpr const char* kSharedDomain = "org.tarvolin.shared";

    // Notifications, log, scripts, terminations
    const std::vector<PostedNotification>& distributedNotifications() const { return distributed_; }
    const std::vector<PostedNotification>& darwinNotifications() const { return darwin_; }
    void postWillSleep();
    const std::vector<LogLine>& logLines() const { return log_; }
    std::vector<std::string> logTexts() const;
    const std::vector<ScriptRecord>& scripts() const { return scripts_; }
    // Behaviour for scripts; the default understands quit, activate and the close keystroke.
    void setScriptBehaviour(ScriptBehaviour behaviour) { scriptBehaviour_ = std::move(behaviour); }
    static ScriptResult defaultScriptBehaviour(std::string_view source, SimDesktop& desktop);

    // Virtual time
    Duration now() const { return now_; }
    // Time passes without any run loop turning, as while a script blocks the main thread.
    void advanceClock(Duration d) { now_ += d; }
    // Runs timers and tasks of every live process in due order up to now + d.
    void runFor(Duration d);
    void runUntil(Duration t);
    // Runs what is due now, including tasks handed over from other threads.
    void runPending() { runUntil(now_); }

    // Platform calls that make up a process's visible life (registrations, clears,
    // timers, trust checks, instance counts, terminations), in order.
    const std::vector<std::string>& trace() const { return trace_; }
    void record(std::string entry) { trace_.push_back(std::move(entry)); }

    SimCounters& counters() { return counters_; }
    void resetCounters() { counters_ = SimCounters{}; }

private:
    friend class SimProcess;
    friend class SimElementNode;
    friend class SimRunLoop;
    friend class SimWorkspace;
    friend class SimWindowService;
    friend class SimAccessibility;
    friend class SimProcessManager;
    friend class SimScriptHost;
    friend class SimLog;
    friend class SimNotifications;
    friend class SimUserDefaults;
    friend class SimUserDefaultsService;
    friend class SimApplication;
    friend class SimPasteboard;
    friend class SimScreens;

    struct Event {
        Duration due;
        std::uint64_t seq;
        SimProcess* process;
        std::function<void()> task;
    };
    void schedule(SimProcess* process, Duration due, std::function<void()> task);
    bool runNextDue(Duration limit);
    void drainInboxes();
    AXElement windowHandle(const SimWindow& w);
    void buildWindowElement(SimWindow& w, bool hasCloseButton);
    void moveToFront(const std::vector<std::int64_t>& numbers);
    void postDefaultsChange(const std::shared_ptr<UserDefaults>& store);

    Duration now_{0};
    std::uint64_t seq_ = 0;
    std::vector<Event> events_;  // a heap ordered by due time, then sequence
    std::vector<std::unique_ptr<SimProcess>> processes_;
    std::vector<RunningApplication> applications_;
    std::map<std::int32_t, std::shared_ptr<SimElement>> applicationElements_;
    std::vector<SimWindow> windows_;
    std::set<std::int32_t> unresponsive_;
    bool windowListAvailable_ = true;
    std::function<void()> windowListHook_;
    std::optional<std::int32_t> frontPid_;
    std::vector<Rect> screens_;
    bool trusted_ = true;
    int trustPrompts_ = 0;
    std::map<std::string, std::shared_ptr<Pasteboard>, std::less<>> pasteboards_;
    int failingClears_ = 0;
    std::map<std::string, std::shared_ptr<UserDefaults>, std::less<>> domains_;
    std::vector<PostedNotification> distributed_;
    std::vector<PostedNotification> darwin_;
    std::vector<LogLine> log_;
    std::vector<ScriptRecord> scripts_;
    ScriptBehaviour scriptBehaviour_;
    SimCounters counters_;
    std::vector<std::string> trace_;
};

// An in-process centre that also writes each registration to the desktop's trace.
class SimNotificationCenter final : public NotificationCenter {
public:
    SimNotificationCenter(SimDesktop& desktop, std::string label)
        : desktop_(desktop), label_(std::move(label)) {}
    void addObserver(const void* observer, std::string name, Handler handler) override;
    void removeObserver(const void* observer) override;
    void postNotification(const Notification& notification) override {
        center_.postNotification(notification);
    }

private:
    SimDesktop& desktop_;
    std::string label_;
    LocalNotificationCenter center_;
};

// One process on the simulated desktop, with its own run loop, application
// object and notification centres, and a Platform bundle over the desktop.
class SimProcess {
public:
    SimProcess(SimDesktop& desktop, std::int32_t pid, std::string bundleIdentifier);
    ~SimProcess();

    Platform& platform() { return *platform_; }
    std::int32_t pid() const { return pid_; }
    const std::string& bundleIdentifier() const { return bundleIdentifier_; }
    // Calls the delegate's launch handler, as the application framework does.
    void launch(ApplicationDelegate& delegate);
    bool terminated() const { return !terminations_.empty(); }
    const std::vector<TerminationRecord>& terminations() const { return terminations_; }
    NotificationCenter& notificationCenter() { return notificationCenter_; }
    NotificationCenter& workspaceNotificationCenter() { return workspaceCenter_; }
    // Observers of NSUserDefaultsDidChangeNotification see this process's stores change.
    std::shared_ptr<UserDefaults> standardUserDefaults();
    // Timer and task events of this process (for ordering tests).
    int timersAdded() const { return timersAdded_; }

private:
    friend class SimDesktop;
    friend class SimRunLoop;
    friend class SimApplication;
    friend class SimUserDefaultsService;
    friend class SimWorkspace;
    friend class SimNotificationCenter;

    SimDesktop& desktop_;
    std::int32_t pid_;
    std::string bundleIdentifier_;
    ApplicationDelegate* delegate_ = nullptr;
    std::vector<TerminationRecord> terminations_;
    SimNotificationCenter notificationCenter_;
    SimNotificationCenter workspaceCenter_;
    int timersAdded_ = 0;
    std::thread::id mainThread_;
    std::mutex inboxMutex_;
    std::vector<std::function<void()>> inbox_;  // tasks handed over from other threads
    struct Services;
    std::unique_ptr<Services> services_;
    std::unique_ptr<Platform> platform_;
};

}  // namespace tarvolin::sim
