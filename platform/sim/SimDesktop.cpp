#include "SimDesktop.h"

#include "platform/ScriptParser.h"
#include "platform/plist/LibplistKeyedUnarchiver.h"

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace tarvolin::sim {

// ---------------------------------------------------------------- elements

SimElement& SimElement::setAttribute(std::string name, std::optional<Value> value, bool settable) {
    Attribute a;
    a.name = name;
    a.get = [value] { return AXResult<Value>::success(value); };
    if (settable) a.set = [](const Value&) { return AXError::success; };
    if (auto* existing = attribute(name))
        *existing = std::move(a);
    else
        attributes.push_back(std::move(a));
    return *this;
}

SimElement& SimElement::addAction(std::string name, std::string description,
                                  std::function<AXError()> perform) {
    actions.push_back({std::move(name), std::move(description), std::move(perform)});
    return *this;
}

SimElement::Attribute* SimElement::attribute(std::string_view name) {
    for (auto& a : attributes)
        if (a.name == name) return &a;
    return nullptr;
}

class SimElementNode final : public AXElementNode {
public:
    SimElementNode(SimDesktop& desktop, std::shared_ptr<SimElement> element)
        : desktop_(desktop), element_(std::move(element)) {
        ++element_->liveHandles;
        ++element_->handlesMade;
    }
    ~SimElementNode() override { --element_->liveHandles; }

    AXResult<std::int32_t> pid() const override {
        ++desktop_.counters_.getPid;
        return AXResult<std::int32_t>::success(element_->pid);
    }
    AXResult<std::vector<std::string>> copyAttributeNames() const override {
        ++desktop_.counters_.attributeNames;
        if (auto e = refused()) return AXResult<std::vector<std::string>>::failed(*e);
        if (element_->failNames) return AXResult<std::vector<std::string>>::failed(AXError::failure);
        std::vector<std::string> names;
        for (const auto& a : element_->attributes) names.push_back(a.name);
        return AXResult<std::vector<std::string>>::success(std::move(names));
    }
    AXResult<std::vector<std::string>> copyActionNames() const override {
        ++desktop_.counters_.actionNames;
        if (auto e = refused()) return AXResult<std::vector<std::string>>::failed(*e);
        if (element_->failActions) return AXResult<std::vector<std::string>>::failed(AXError::failure);
        std::vector<std::string> names;
        for (const auto& a : element_->actions) names.push_back(a.name);
        return AXResult<std::vector<std::string>>::success(std::move(names));
    }
    AXResult<std::string> copyActionDescription(std::string_view action) const override {
        ++desktop_.counters_.actionDescription;
        if (auto e = refused()) return AXResult<std::string>::failed(*e);
        for (const auto& a : element_->actions)
            if (a.name == action) return AXResult<std::string>::success(a.description);
        return AXResult<std::string>::failed(AXError::actionUnsupported);
    }
    AXResult<Value> copyAttributeValue(std::string_view attribute) const override {
        ++desktop_.counters_.attributeValue;
        return get(attribute);
    }
    AXResult<Value::Array> copyAttributeValues(std::string_view attribute, std::int64_t index,
                                               std::int64_t maxCount) const override {
        ++desktop_.counters_.attributeValues;
        auto r = get(attribute);
        if (!r.ok()) return AXResult<Value::Array>::failed(r.error);
        const Value::Array* all = r.value ? r.value->asArray() : nullptr;
        if (!all) return AXResult<Value::Array>::failed(AXError::illegalArgument);
        if (index < 0 || maxCount < 0) return AXResult<Value::Array>::failed(AXError::illegalArgument);
        Value::Array slice;
        for (auto i = static_cast<size_t>(index);
             i < all->size() && slice.size() < static_cast<size_t>(maxCount); ++i)
            slice.push_back((*all)[i]);
        return AXResult<Value::Array>::success(std::move(slice));
    }
    AXResult<std::int64_t> attributeValueCount(std::string_view attribute) const override {
        ++desktop_.counters_.attributeValueCount;
        if (auto e = refused()) return AXResult<std::int64_t>::failed(*e);
        auto* a = element_->attribute(attribute);
        if (!a) return AXResult<std::int64_t>::failed(AXError::attributeUnsupported);
        if (a->count) return a->count();
        auto r = a->get();
        const Value::Array* all = r.value ? r.value->asArray() : nullptr;
        if (!r.ok() || !all)
            return AXResult<std::int64_t>::failed(r.ok() ? AXError::illegalArgument : r.error);
        return AXResult<std::int64_t>::success(static_cast<std::int64_t>(all->size()));
    }
    AXResult<bool> isAttributeSettable(std::string_view attribute) const override {
        ++desktop_.counters_.attributeSettable;
        if (auto e = refused()) return AXResult<bool>::failed(*e);
        auto* a = element_->attribute(attribute);
        if (!a) return AXResult<bool>::failed(AXError::attributeUnsupported);
        return AXResult<bool>::success(static_cast<bool>(a->set));
    }
    AXError setAttributeValue(std::string_view attribute, const Value& value) const override {
        ++desktop_.counters_.setAttributeValue;
        if (auto e = refused()) return *e;
        auto* a = element_->attribute(attribute);
        if (!a) return AXError::attributeUnsupported;
        if (!a->set) return AXError::failure;
        return a->set(value);
    }
    AXError performAction(std::string_view action) const override {
        ++desktop_.counters_.performAction;
        if (auto e = refused()) return *e;
        for (const auto& a : element_->actions)
            if (a.name == action) return a.perform ? a.perform() : AXError::success;
        return AXError::actionUnsupported;
    }
    AXResult<std::uint32_t> windowNumber() const override {
        ++desktop_.counters_.getWindow;
        if (auto e = refused()) return AXResult<std::uint32_t>::failed(*e);
        if (!element_->windowNumber) return AXResult<std::uint32_t>::failed(AXError::failure);
        return AXResult<std::uint32_t>::success(*element_->windowNumber);
    }
    std::string description() const override { return "<AXUIElement " + element_->label + ">"; }

private:
    std::optional<AXError> refused() const {
        if (!desktop_.processResponsive(element_->pid)) return AXError::cannotComplete;
        return std::nullopt;
    }
    AXResult<Value> get(std::string_view attribute) const {
        if (auto e = refused()) return AXResult<Value>::failed(*e);
        auto* a = element_->attribute(attribute);
        if (!a) return AXResult<Value>::failed(AXError::attributeUnsupported);
        return a->get();
    }

    SimDesktop& desktop_;
    std::shared_ptr<SimElement> element_;
};

// ---------------------------------------------------------------- services

class SimRunLoop final : public RunLoop {
public:
    explicit SimRunLoop(SimProcess& p) : p_(p) {}
    Duration now() const override { return p_.desktop_.now(); }
    void addTimer(std::shared_ptr<Timer> timer) override {
        ++p_.timersAdded_;
        p_.desktop_.record("runLoop.addTimer " + std::to_string(timer->interval.count()) + "ns" +
                           (timer->repeats ? " repeating" : ""));
        const Duration first = p_.desktop_.now() + timer->interval;
        scheduleFiring(std::move(timer), first);
    }
    void dispatchAfter(Duration delay, Task task) override {
        p_.desktop_.schedule(&p_, p_.desktop_.now() + std::max(delay, Duration{0}), std::move(task));
    }
    void dispatchAsync(Task task) override {
        std::lock_guard lock(p_.inboxMutex_);
        p_.inbox_.push_back(std::move(task));
    }
    bool isMainThread() const override { return std::this_thread::get_id() == p_.mainThread_; }

private:
    void scheduleFiring(std::shared_ptr<Timer> timer, Duration due) {
        p_.desktop_.schedule(&p_, due, [this, timer, due] {
            timer->task();
            if (!timer->repeats || timer->interval <= Duration{0}) return;
            Duration next = due + timer->interval;
            while (next <= p_.desktop_.now()) next += timer->interval;  // missed firings are skipped
            scheduleFiring(timer, next);
        });
    }
    SimProcess& p_;
};

class SimApplication final : public Application {
public:
    explicit SimApplication(SimProcess& p) : p_(p) {}
    std::string bundleIdentifier() override { return p_.bundleIdentifier_; }
    void terminate(const void* sender) override {
        if (p_.terminated()) return;
        p_.desktop_.record(sender ? "application.terminate sender" : "application.terminate nil");
        p_.terminations_.push_back({sender, p_.desktop_.now()});
        if (p_.delegate_) p_.delegate_->applicationWillTerminate();
        p_.desktop_.removeApplication(p_.pid_);
    }

private:
    SimProcess& p_;
};

class SimWorkspace final : public Workspace {
public:
    explicit SimWorkspace(SimProcess& p) : p_(p) {}
    std::vector<RunningApplication> runningApplications() override {
        ++p_.desktop_.counters_.runningApplicationsRequests;
        return p_.desktop_.runningApplications();
    }
    std::vector<RunningApplication> runningApplicationsWithBundleIdentifier(std::string_view id) override {
        p_.desktop_.record("workspace.runningApplicationsWithBundleIdentifier " + std::string(id));
        std::vector<RunningApplication> out;
        for (auto& a : p_.desktop_.runningApplications())
            if (a.bundleIdentifier == id) out.push_back(a);
        return out;
    }
    NotificationCenter& notificationCenter() override { return p_.workspaceCenter_; }

private:
    SimProcess& p_;
};

class SimWindowService final : public WindowService {
public:
    explicit SimWindowService(SimDesktop& d) : d_(d) {}
    std::optional<std::vector<WindowDescription>> copyWindowInfo(std::uint32_t, std::uint32_t) override {
        ++d_.counters_.windowListRequests;
        if (d_.windowListHook_) d_.windowListHook_();
        if (!d_.windowListAvailable_) return std::nullopt;
        std::vector<WindowDescription> out;
        out.reserve(d_.windows_.size());
        for (const auto& w : d_.windows_) out.push_back(w.description);
        return out;
    }

private:
    SimDesktop& d_;
};

class SimAccessibility final : public Accessibility {
public:
    explicit SimAccessibility(SimDesktop& d) : d_(d) {}
    bool isProcessTrustedWithOptions(bool prompt) override {
        ++d_.counters_.trustChecks;
        d_.record(prompt ? "accessibility.isProcessTrusted prompt" : "accessibility.isProcessTrusted");
        if (!d_.trusted_ && prompt) ++d_.trustPrompts_;
        return d_.trusted_;
    }
    AXElement createApplication(std::int32_t pid) override {
        ++d_.counters_.createApplication;
        return d_.handle(d_.applicationElement(pid));
    }

private:
    SimDesktop& d_;
};

class SimProcessManager final : public ProcessManager {
public:
    explicit SimProcessManager(SimDesktop& d) : d_(d) {}
    std::optional<ProcessSerialNumber> getProcessForPID(std::int32_t pid) override {
        for (const auto& a : d_.applications_)
            if (a.processIdentifier == pid) return ProcessSerialNumber{0, static_cast<std::uint32_t>(pid)};
        return std::nullopt;
    }
    std::int32_t setFrontProcessWithOptions(const ProcessSerialNumber& psn, std::uint32_t options) override {
        const auto pid = static_cast<std::int32_t>(psn.lowLongOfPSN);
        if (!getProcessForPID(pid)) return -600;  // procNotFound
        if (options & kSetFrontProcessFrontWindowOnly)
            d_.bringProcessForward(pid);
        else
            d_.activateApplication(pid);
        return 0;
    }

private:
    SimDesktop& d_;
};

class SimPasteboard final : public Pasteboard {
public:
    SimPasteboard(SimDesktop& d, std::string name) : d_(d), name_(std::move(name)) {}
    std::int64_t changeCount() override {
        std::lock_guard lock(m_);
        return count_;
    }
    bool canReadString() override {
        std::lock_guard lock(m_);
        ++d_.counters_.pasteboardChecks;
        return std::any_of(items_.begin(), items_.end(),
                           [](const PasteboardItem& i) { return i.text.has_value(); });
    }
    PasteboardRead readStrings() override {
        std::lock_guard lock(m_);
        ++d_.counters_.pasteboardReads;
        PasteboardRead r;
        r.changeCount = count_;
        for (const auto& i : items_)
            if (i.text) r.texts.push_back(*i.text);
        return r;
    }
    std::int64_t clearContents() override {
        std::lock_guard lock(m_);
        failIfTold();
        d_.record("pasteboard.clear " + name_);
        ++d_.counters_.pasteboardClears;
        items_.clear();
        return ++count_;
    }
    bool clearContentsIfChangeCount(std::int64_t expected) override {
        std::lock_guard lock(m_);
        ++d_.counters_.pasteboardClears;
        failIfTold();
        if (count_ != expected) return false;
        d_.record("pasteboard.clear " + name_);
        items_.clear();
        ++count_;
        return true;
    }
    std::int64_t writeItems(const std::vector<PasteboardItem>& items) override {
        std::lock_guard lock(m_);
        items_ = items;
        return ++count_;
    }

private:
    void failIfTold() {
        if (d_.failingClears_ <= 0) return;
        --d_.failingClears_;
        throw std::system_error(ENOSPC, std::generic_category(), "clear pasteboard " + name_);
    }

    SimDesktop& d_;
    std::string name_;
    std::mutex m_;
    std::int64_t count_ = 0;
    std::vector<PasteboardItem> items_;
};

class SimPasteboardService final : public PasteboardService {
public:
    explicit SimPasteboardService(SimDesktop& d) : d_(d) {}
    std::shared_ptr<Pasteboard> pasteboardWithName(std::string_view name) override {
        return d_.pasteboard(name);
    }

private:
    SimDesktop& d_;
};

class SimUserDefaults final : public UserDefaults, public std::enable_shared_from_this<SimUserDefaults> {
public:
    explicit SimUserDefaults(SimDesktop& d) : d_(d) {}
    std::optional<Value> objectForKey(std::string_view key) override {
        std::lock_guard lock(m_);
        auto it = values_.find(key);
        if (it == values_.end()) return std::nullopt;
        return it->second;
    }
    void setObject(std::string_view key, const Value& value) override {
        {
            std::lock_guard lock(m_);
            values_.insert_or_assign(std::string(key), value);
        }
        d_.postDefaultsChange(shared_from_this());
    }
    void removeObject(std::string_view key) override {
        {
            std::lock_guard lock(m_);
            auto it = values_.find(key);
            if (it == values_.end()) return;
            values_.erase(it);
        }
        d_.postDefaultsChange(shared_from_this());
    }

private:
    SimDesktop& d_;
    std::mutex m_;
    std::map<std::string, Value, std::less<>> values_;
};

class SimUserDefaultsService final : public UserDefaultsService {
public:
    explicit SimUserDefaultsService(SimProcess& p) : p_(p) {}
    std::shared_ptr<UserDefaults> standardUserDefaults() override {
        p_.desktop_.record("userDefaults.standard");
        return p_.desktop_.defaultsDomain(p_.bundleIdentifier_);
    }
    std::shared_ptr<UserDefaults> sharedUserDefaults() override {
        p_.desktop_.record("userDefaults.shared");
        return p_.desktop_.defaultsDomain(SimDesktop::kSharedDomain);
    }

private:
    SimProcess& p_;
};

class SimNotifications final : public DistributedNotificationCenter, public DarwinNotifyCenter {
public:
    explicit SimNotifications(SimDesktop& d) : d_(d) {}
    void postNotificationName(std::string_view name) override {
        d_.distributed_.push_back({std::string(name), d_.now(), false});
    }
    void postNotification(std::string_view name, bool deliverImmediately) override {
        d_.darwin_.push_back({std::string(name), d_.now(), deliverImmediately});
    }

private:
    SimDesktop& d_;
};

class SimScriptHost final : public ScriptHost {
public:
    explicit SimScriptHost(SimDesktop& d) : d_(d) {}
    ScriptResult executeScript(std::string_view source) override {
        ++d_.counters_.scripts;
        const Duration started = d_.now();
        ScriptResult r = d_.scriptBehaviour_ ? d_.scriptBehaviour_(source, d_)
                                             : SimDesktop::defaultScriptBehaviour(source, d_);
        d_.scripts_.push_back({std::string(source), started, d_.now(), r});
        return r;
    }

private:
    SimDesktop& d_;
};

class SimScreens final : public Screens {
public:
    explicit SimScreens(SimDesktop& d) : d_(d) {}
    std::vector<Rect> screenFrames() override { return d_.screens_; }

private:
    SimDesktop& d_;
};

class SimLog final : public SystemLog {
public:
    SimLog(SimDesktop& d, std::int32_t pid) : d_(d), pid_(pid) {}
    void log(std::string_view line) override { d_.log_.push_back({std::string(line), d_.now(), pid_}); }

private:
    SimDesktop& d_;
    std::int32_t pid_;
};

// ---------------------------------------------------------------- process

void SimNotificationCenter::addObserver(const void* observer, std::string name, Handler handler) {
    desktop_.record(label_ + ".addObserver " + name);
    center_.addObserver(observer, std::move(name), std::move(handler));
}

void SimNotificationCenter::removeObserver(const void* observer) {
    desktop_.record(label_ + ".removeObserver");
    center_.removeObserver(observer);
}

struct SimProcess::Services {
    explicit Services(SimProcess& p)
        : application(p),
          runLoop(p),
          workspace(p),
          windows(p.desktop_),
          accessibility(p.desktop_),
          processes(p.desktop_),
          pasteboards(p.desktop_),
          userDefaults(p),
          notifications(p.desktop_),
          scripts(p.desktop_),
          screens(p.desktop_),
          log(p.desktop_, p.pid_) {}
    SimApplication application;
    SimRunLoop runLoop;
    SimWorkspace workspace;
    SimWindowService windows;
    SimAccessibility accessibility;
    SimProcessManager processes;
    SimPasteboardService pasteboards;
    SimUserDefaultsService userDefaults;
    SimNotifications notifications;
    SimScriptHost scripts;
    SimScreens screens;
    SimLog log;
    LibplistKeyedUnarchiver unarchiver;
    PixmanGraphics graphics;
};

SimProcess::SimProcess(SimDesktop& desktop, std::int32_t pid, std::string bundleIdentifier)
    : desktop_(desktop),
      pid_(pid),
      bundleIdentifier_(std::move(bundleIdentifier)),
      notificationCenter_(desktop, "defaultCenter"),
      workspaceCenter_(desktop, "workspaceCenter"),
      mainThread_(std::this_thread::get_id()),
      services_(std::make_unique<Services>(*this)) {
    auto& s = *services_;
    platform_ = std::make_unique<Platform>(
        Platform{s.application, s.runLoop, s.workspace, s.windows, s.accessibility, s.processes,
                 s.pasteboards, s.userDefaults, notificationCenter_, s.notifications, s.notifications,
                 s.scripts, s.screens, s.log, s.unarchiver, s.graphics});
}

SimProcess::~SimProcess() = default;

void SimProcess::launch(ApplicationDelegate& delegate) {
    delegate_ = &delegate;
    delegate.applicationDidFinishLaunching();
}

std::shared_ptr<UserDefaults> SimProcess::standardUserDefaults() {
    return desktop_.defaultsDomain(bundleIdentifier_);
}

// ---------------------------------------------------------------- desktop

SimDesktop::SimDesktop() : screens_{Rect{0, 0, 1440, 900}} {}

SimDesktop::~SimDesktop() {
    // Tasks may hold objects that refer to processes; drop them first.
    events_.clear();
}

SimProcess& SimDesktop::startProcess(std::int32_t pid, std::string bundleIdentifier) {
    processes_.push_back(std::make_unique<SimProcess>(*this, pid, bundleIdentifier));
    applications_.push_back({pid, std::string("tarvolin-agent"), Image{}, std::move(bundleIdentifier)});
    return *processes_.back();
}

void SimDesktop::addApplication(std::int32_t pid, std::optional<std::string> name, Image icon,
                                std::string bundleIdentifier) {
    applications_.push_back({pid, std::move(name), std::move(icon), std::move(bundleIdentifier)});
}

void SimDesktop::removeApplication(std::int32_t pid) {
    std::erase_if(applications_, [&](const RunningApplication& a) { return a.processIdentifier == pid; });
    if (frontPid_ == pid) frontPid_.reset();
}

std::vector<RunningApplication> SimDesktop::runningApplications() const { return applications_; }

std::shared_ptr<SimElement> SimDesktop::makeElement(std::int32_t pid, std::string label) {
    auto e = std::make_shared<SimElement>();
    e->pid = pid;
    e->label = std::move(label);
    return e;
}

AXElement SimDesktop::handle(const std::shared_ptr<SimElement>& element) {
    return AXElement(std::make_shared<SimElementNode>(*this, element));
}

std::shared_ptr<SimElement> SimDesktop::applicationElement(std::int32_t pid) {
    auto& slot = applicationElements_[pid];
    if (slot) return slot;
    slot = makeElement(pid, "application pid " + std::to_string(pid));
    auto windowsOf = [this, pid] {
        Value::Array out;
        for (const auto& w : windows_)
            if (w.pid == pid && w.element) out.push_back(handle(w.element));
        return AXResult<Value>::success(Value::array(std::move(out)));
    };
    auto title = [this, pid]() -> AXResult<Value> {
        for (const auto& a : applications_)
            if (a.processIdentifier == pid && a.localizedName)
                return AXResult<Value>::success(*a.localizedName);
        return AXResult<Value>::success(std::nullopt);
    };
    slot->attributes.push_back(
        {"AXRole", [] { return AXResult<Value>::success(Value("AXApplication")); }, {}, {}});
    slot->attributes.push_back({"AXTitle", title, {}, {}});
    slot->attributes.push_back({"AXWindows", windowsOf, {}, {}});
    slot->attributes.push_back({"AXChildren", windowsOf, {}, {}});
    return slot;
}

void SimDesktop::buildWindowElement(SimWindow& w, bool hasCloseButton) {
    const std::int64_t number = w.number;
    const std::int32_t pid = w.pid;
    auto e = makeElement(pid, "window " + std::to_string(number) + " pid " + std::to_string(pid));
    e->windowNumber = static_cast<std::uint32_t>(number);
    auto live = [this, number](auto f) {
        return [this, number, f]() -> AXResult<Value> {
            SimWindow* win = window(number);
            if (!win) return AXResult<Value>::failed(AXError::invalidUIElement);
            return AXResult<Value>::success(f(*win));
        };
    };
    auto bounds = [](const SimWindow& win, auto pick) {
        const auto& b = win.description.bounds;
        auto num = [](const std::optional<WindowNumberValue>& v) {
            if (!v) return 0.0;
            return std::visit([](auto x) { return static_cast<double>(x); }, *v);
        };
        return pick(b ? num(b->x) : 0.0, b ? num(b->y) : 0.0, b ? num(b->width) : 0.0,
                    b ? num(b->height) : 0.0);
    };
    e->attributes.push_back(
        {"AXRole", live([](const SimWindow&) { return std::optional<Value>("AXWindow"); }), {}, {}});
    e->attributes.push_back({"AXTitle",
                             live([](const SimWindow& win) -> std::optional<Value> {
                                 if (!win.description.name) return std::nullopt;
                                 return Value(*win.description.name);
                             }),
                             {},
                             {}});
    e->attributes.push_back(
        {"AXPosition",
         live([bounds](const SimWindow& win) {
             return std::optional<Value>(bounds(win, [](double x, double y, double, double) {
                 return Value(AXValue::point({x, y}));
             }));
         }),
         {},
         [](const Value& v) { return v.asAXValue() ? AXError::success : AXError::illegalArgument; }});
    e->attributes.push_back(
        {"AXSize",
         live([bounds](const SimWindow& win) {
             return std::optional<Value>(bounds(win, [](double, double, double wd, double ht) {
                 return Value(AXValue::size({wd, ht}));
             }));
         }),
         {},
         [](const Value& v) { return v.asAXValue() ? AXError::success : AXError::illegalArgument; }});
    e->attributes.push_back(
        {"AXMinimized",
         live([](const SimWindow&) { return std::optional<Value>(Value::boolean(false)); }),
         {},
         [](const Value&) { return AXError::success; }});
    e->attributes.push_back({"AXParent",
                             live([this, pid](const SimWindow&) {
                                 return std::optional<Value>(handle(applicationElement(pid)));
                             }),
                             {},
                             {}});
    if (hasCloseButton) {
        auto button = makeElement(pid, "close button of window " + std::to_string(number));
        button->setAttribute("AXRole", Value("AXButton"));
        button->setAttribute("AXSubrole", Value("AXCloseButton"));
        button->addAction("AXPress", "press", [this, number] {
            return closeWindow(number) ? AXError::success : AXError::invalidUIElement;
        });
        w.closeButton = button;
        e->attributes.push_back({"AXChildren",
                                 live([this, button](const SimWindow&) {
                                     return std::optional<Value>(Value::array({handle(button)}));
                                 }),
                                 {},
                                 {}});
        e->attributes.push_back(
            {"AXCloseButton",
             live([this, button](const SimWindow&) { return std::optional<Value>(handle(button)); }),
             {},
             {}});
    } else {
        e->attributes.push_back(
            {"AXChildren",
             live([](const SimWindow&) { return std::optional<Value>(Value::array({})); }),
             {},
             {}});
    }
    e->addAction("AXRaise", "raise", [this, number] {
        if (!window(number)) return AXError::invalidUIElement;
        raiseWindow(number);
        return AXError::success;
    });
    w.element = e;
}

SimWindow& SimDesktop::addWindow(const WindowSpec& spec) {
    SimWindow w;
    w.pid = spec.pid;
    w.number = spec.number;
    w.closesOnKeystroke = spec.closesOnKeystroke;
    w.description.layer = spec.layer;
    w.description.ownerPid = static_cast<std::int64_t>(spec.pid);
    w.description.number = spec.number;
    w.description.name = spec.title;
    w.description.alpha = spec.alpha;
    w.description.bounds = WindowBounds{spec.bounds.x, spec.bounds.y, spec.bounds.width, spec.bounds.height};
    if (spec.accessible) buildWindowElement(w, spec.hasCloseButton);
    windows_.push_back(std::move(w));
    return windows_.back();
}

SimWindow* SimDesktop::window(std::int64_t number) {
    for (auto& w : windows_)
        if (w.number == number) return &w;
    return nullptr;
}

void SimDesktop::removeWindow(std::int64_t number) {
    std::erase_if(windows_, [&](const SimWindow& w) { return w.number == number; });
}

bool SimDesktop::closeWindow(std::int64_t number) {
    if (!window(number)) return false;
    removeWindow(number);
    return true;
}

std::vector<std::int64_t> SimDesktop::windowOrder() const {
    std::vector<std::int64_t> out;
    for (const auto& w : windows_) out.push_back(w.number);
    return out;
}

void SimDesktop::setProcessResponsive(std::int32_t pid, bool responsive) {
    if (responsive)
        unresponsive_.erase(pid);
    else
        unresponsive_.insert(pid);
}

void SimDesktop::moveToFront(const std::vector<std::int64_t>& numbers) {
    std::stable_partition(windows_.begin(), windows_.end(), [&](const SimWindow& w) {
        return std::find(numbers.begin(), numbers.end(), w.number) != numbers.end();
    });
}

void SimDesktop::raiseWindow(std::int64_t number) {
    SimWindow* target = window(number);
    if (!target) return;
    // In front of its own application's windows, nothing else moves.
    const auto pid = target->pid;
    auto firstOfApp =
        std::find_if(windows_.begin(), windows_.end(), [&](const SimWindow& w) { return w.pid == pid; });
    auto it = std::find_if(windows_.begin(), windows_.end(),
                           [&](const SimWindow& w) { return w.number == number; });
    std::rotate(firstOfApp, it, it + 1);
}

void SimDesktop::bringProcessForward(std::int32_t pid) {
    frontPid_ = pid;
    for (const auto& w : windows_)
        if (w.pid == pid) {
            moveToFront({w.number});
            return;
        }
}

void SimDesktop::activateApplication(std::int32_t pid) {
    frontPid_ = pid;
    std::vector<std::int64_t> numbers;
    for (const auto& w : windows_)
        if (w.pid == pid) numbers.push_back(w.number);
    moveToFront(numbers);
}

void SimDesktop::sendCloseKeystroke() {
    if (!frontPid_) return;
    for (const auto& w : windows_)
        if (w.pid == *frontPid_) {
            if (w.closesOnKeystroke) removeWindow(w.number);
            return;
        }
}

std::shared_ptr<Pasteboard> SimDesktop::pasteboard(std::string_view name) {
    auto it = pasteboards_.find(name);
    if (it == pasteboards_.end())
        it =
            pasteboards_.emplace(std::string(name), std::make_shared<SimPasteboard>(*this, std::string(name)))
                .first;
    return it->second;
}

std::shared_ptr<UserDefaults> SimDesktop::defaultsDomain(std::string_view domain) {
    auto it = domains_.find(domain);
    if (it == domains_.end())
        it = domains_.emplace(std::string(domain), std::make_shared<SimUserDefaults>(*this)).first;
    return it->second;
}

void SimDesktop::postDefaultsChange(const std::shared_ptr<UserDefaults>& store) {
    for (auto& p : processes_)
        if (!p->terminated())
            p->notificationCenter_.postNotification({NSUserDefaultsDidChangeNotification, store});
}

void SimDesktop::postWillSleep() {
    for (auto& p : processes_)
        if (!p->terminated()) p->workspaceCenter_.postNotification({NSWorkspaceWillSleepNotification, {}});
}

std::vector<std::string> SimDesktop::logTexts() const {
    std::vector<std::string> out;
    for (const auto& l : log_) out.push_back(l.text);
    return out;
}

ScriptResult SimDesktop::defaultScriptBehaviour(std::string_view source, SimDesktop& d) {
    const ParsedScript parsed = parseScript(source);
    if (const auto* e = std::get_if<ScriptError>(&parsed)) return {false, "", e->message};
    if (std::holds_alternative<CloseKeystroke>(parsed)) {
        d.sendCloseKeystroke();
        return {true, "", ""};
    }
    const bool quit = std::holds_alternative<QuitApplication>(parsed);
    const std::string& name =
        quit ? std::get<QuitApplication>(parsed).name : std::get<ActivateApplication>(parsed).name;
    for (const auto& a : d.applications_) {
        if (a.localizedName != name) continue;
        const auto pid = a.processIdentifier;
        if (quit) {
            std::erase_if(d.windows_, [&](const SimWindow& w) { return w.pid == pid; });
            d.removeApplication(pid);
        } else {
            d.activateApplication(pid);
        }
        return {true, "", ""};
    }
    return {false, "", "application \"" + name + "\" is not running"};
}

// ---------------------------------------------------------------- virtual time

void SimDesktop::schedule(SimProcess* process, Duration due, std::function<void()> task) {
    events_.push_back({due, seq_++, process, std::move(task)});
    std::push_heap(events_.begin(), events_.end(), [](const Event& a, const Event& b) {
        return a.due != b.due ? a.due > b.due : a.seq > b.seq;
    });
}

void SimDesktop::drainInboxes() {
    for (auto& p : processes_) {
        std::vector<std::function<void()>> tasks;
        {
            std::lock_guard lock(p->inboxMutex_);
            tasks.swap(p->inbox_);
        }
        for (auto& t : tasks) schedule(p.get(), now_, std::move(t));
    }
}

bool SimDesktop::runNextDue(Duration limit) {
    drainInboxes();
    auto later = [](const Event& a, const Event& b) {
        return a.due != b.due ? a.due > b.due : a.seq > b.seq;
    };
    while (!events_.empty() && events_.front().due <= limit) {
        std::pop_heap(events_.begin(), events_.end(), later);
        Event e = std::move(events_.back());
        events_.pop_back();
        if (e.process && e.process->terminated()) continue;  // a dead process runs nothing
        now_ = std::max(now_, e.due);
        e.task();
        return true;
    }
    return false;
}

void SimDesktop::runUntil(Duration t) {
    while (runNextDue(t)) {
    }
    now_ = std::max(now_, t);
}

void SimDesktop::runFor(Duration d) { runUntil(now_ + d); }

}  // namespace tarvolin::sim
