// The services written once over the desktop model, against a transport that records what it
// is asked: the rules every desktop shares.
#include "platform/AccessibilityNames.h"
#include "platform/LocalNotificationCenter.h"
#include "platform/linux/desktop/DesktopBackend.h"

#include <gtest/gtest.h>

#include <cmath>

namespace tarvolin::desktop {
namespace {

struct Recorder final : Transport {
    Snapshot now;
    std::vector<std::string> did;
    bool refuse = false;

    bool broken() const override { return false; }
    int fd() const override { return -1; }
    bool processEvents() override { return true; }
    std::uint64_t roundTrips() const override { return 0; }
    const Snapshot& sync() override { return now; }
    bool note(std::string what, std::int64_t id) {
        did.push_back(what + " " + std::to_string(id));
        return !refuse;
    }
    bool focus(const Window& w) override { return note("focus", w.id); }
    bool raise(const std::vector<const Window*>& ws) override {
        for (const Window* w : ws) note("raise", w->id);
        return true;
    }
    bool close(const std::vector<const Window*>& ws) override {
        for (const Window* w : ws) note("close", w->id);
        return !refuse;
    }
    bool move(const Window& w, std::int64_t x, std::int64_t y) override {
        return note("move " + std::to_string(x) + "," + std::to_string(y), w.id);
    }
    bool resize(const Window& w, std::int64_t, std::int64_t) override { return note("resize", w.id); }
    bool minimise(const Window& w, bool m) override { return note(m ? "minimise" : "restore", w.id); }
    std::string name() const override { return "test"; }
    std::string windowName(std::int64_t id) const override { return "window " + std::to_string(id); }
};

Window window(std::int64_t id, std::int32_t pid, std::string app, bool canClose = true) {
    Window w;
    w.id = id;
    w.pid = pid;
    w.app = std::move(app);
    w.frame = Box{10, 20, 300, 200};
    w.canClose = canClose;
    w.canMove = w.canMinimise = true;
    return w;
}

class DesktopModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto t = std::make_unique<Recorder>();
        t_ = t.get();
        // Front first: 3 (pid 7, minimised), 1 (pid 7), 5 (pid 9), 2 (pid 7, cannot close).
        t_->now.frontFirst = {window(3, 7, "Ed"), window(1, 7, "Ed"), window(5, 9, "Term"),
                              window(2, 7, "Ed", false)};
        t_->now.frontFirst[0].minimised = true;
        t_->now.monitors = {{{100, 50, 1000, 800}, true}, {{1100, 0, 500, 400}, false}};
        backend_ = std::make_unique<DesktopBackend>(std::move(t), center_, nullptr);
        backend_->setLog([this](const std::string& line) { log_.push_back(line); });
    }
    std::vector<std::string> did() { return std::exchange(t_->did, {}); }
    std::vector<AXElement> windows(std::int32_t pid) {
        auto app = backend_->accessibility().createApplication(pid);
        std::vector<AXElement> out;
        for (const Value& v :
             ax::copyAttributeValues(app, kAXWindowsAttribute, 0, 100).value.value_or(Value::Array{}))
            out.push_back(*v.asElement());
        return out;
    }
    AXElement element(std::int64_t id, std::int32_t pid) {
        for (const AXElement& e : windows(pid))
            if (ax::getWindow(e).value == id) return e;
        return {};
    }

    LocalNotificationCenter center_;
    Recorder* t_ = nullptr;
    std::unique_ptr<DesktopBackend> backend_;
    std::vector<std::string> log_;
};

TEST_F(DesktopModelTest, ApplicationsAreNamedByTheirOldestWindowAndFrontedByTheirFrontShownOne) {
    auto apps = backend_->workspace().runningApplications();
    ASSERT_EQ(apps.size(), 2u);
    EXPECT_EQ(apps[0].processIdentifier, 7);
    EXPECT_EQ(apps[0].localizedName, "Ed");
    EXPECT_EQ(apps[1].icon.pixelWidth(), 32) << "the theme's (blank) icon where the window has none";
    t_->now.frontFirst[1].app.reset();  // id 1: the oldest named window is now id 2
    t_->now.frontFirst[3].app = "Oldest";
    ++t_->now.generation;
    EXPECT_EQ(backend_->workspace().runningApplications()[0].localizedName, "Oldest");
    // AXMain: the front-most window that is not minimised.
    EXPECT_EQ(ax::copyAttributeValue(element(1, 7), kAXMainAttribute).value, Value::boolean(true));
    EXPECT_EQ(ax::copyAttributeValue(element(3, 7), kAXMainAttribute).value, Value::boolean(false));
    EXPECT_FALSE(backend_->processes().getProcessForPID(8));
}

TEST_F(DesktopModelTest, QuitAsksEachWindowPolitelyAndNamesThoseLeftOpen) {
    ScriptResult r = backend_->scripts().executeScript(R"(tell the application "Ed" to quit)");
    EXPECT_EQ(did(), (std::vector<std::string>{"close 3", "close 1"}));
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find("left open: window 2"), std::string::npos) << r.error;
    ASSERT_EQ(log_.size(), 1u);
    EXPECT_NE(log_[0].find("window 2"), std::string::npos);
    EXPECT_TRUE(backend_->scripts().executeScript(R"(tell the application "Term" to quit)").ok);
    t_->refuse = true;
    EXPECT_FALSE(backend_->scripts().executeScript(R"(tell the application "Term" to quit)").ok);
    t_->refuse = false;
    did();
    // Activating focuses the application's front window that is not minimised.
    EXPECT_TRUE(backend_->scripts().executeScript(R"(tell the application "Ed" to activate)").ok);
    EXPECT_EQ(did(), (std::vector<std::string>{"focus 1"}));
    EXPECT_FALSE(backend_->scripts().executeScript(R"(tell the application "ed" to activate)").ok);
    EXPECT_FALSE(
        backend_->scripts()
            .executeScript(R"(tell the application "System Events" to keystroke "w" using command down)")
            .ok);
}

TEST_F(DesktopModelTest, FrontProcessRaisesEveryWindowOrOnlyTheFrontOne) {
    FrontProcess& p = static_cast<FrontProcess&>(backend_->processes());
    const ProcessSerialNumber ed{0, 7};
    EXPECT_EQ(p.setFrontProcessWithOptions(ed, kSetFrontProcessFrontWindowOnly), 0);
    EXPECT_EQ(did(), (std::vector<std::string>{"focus 1"}));
    EXPECT_EQ(p.setFrontProcessWithOptions(ed, 0), 0);
    EXPECT_EQ(did(), (std::vector<std::string>{"raise 2", "raise 3", "focus 1"}));
    // A window just raised is the front one, and in the same turn already on its way.
    std::vector<std::function<void()>> turnEnd;
    backend_->endTurnsWith([&](std::function<void()> task) { turnEnd.push_back(std::move(task)); });
    ASSERT_EQ(ax::performAction(element(2, 7), kAXRaiseAction), AXError::success);
    EXPECT_EQ(p.setFrontProcessWithOptions(ed, kSetFrontProcessFrontWindowOnly), 0);
    EXPECT_EQ(did(), (std::vector<std::string>{"focus 2"}));
    ASSERT_EQ(ax::performAction(element(2, 7), kAXRaiseAction), AXError::success);
    for (auto& task : std::exchange(turnEnd, {})) task();
    EXPECT_EQ(p.setFrontProcessWithOptions(ed, 0), 0);
    EXPECT_EQ(did(), (std::vector<std::string>{"focus 2", "raise 1", "raise 3", "focus 2"}));
    EXPECT_EQ(p.setFrontProcessWithOptions({0, 9}, 0), 0);
    EXPECT_EQ(p.setFrontProcessWithOptions({1, 7}, 0), -600);
}

TEST_F(DesktopModelTest, ElementsOfferWhatTheDesktopAllowsInTheAgentsCoordinates) {
    AXElement e = element(1, 7), stubborn = element(2, 7);
    EXPECT_EQ(ax::copyAttributeValue(e, kAXPositionAttribute).value, Value(AXValue::point({-90, -30})));
    EXPECT_EQ(ax::setAttributeValue(e, kAXPositionAttribute, Value(AXValue::point({5, 1e12}))),
              AXError::success);
    EXPECT_EQ(did(), (std::vector<std::string>{"move 105,1000050 1"}));
    EXPECT_EQ(ax::setAttributeValue(e, kAXMinimizedAttribute, Value::boolean(false)), AXError::success);
    EXPECT_TRUE(did().empty()) << "already so";
    for (auto [attribute, value] : {std::pair{kAXPositionAttribute, Value(AXValue::point({std::nan(""), 3}))},
                                    {kAXMinimizedAttribute, Value("yes")},
                                    {kAXTitleAttribute, Value("t")}})
        EXPECT_EQ(ax::setAttributeValue(e, attribute, value), AXError::illegalArgument) << attribute;
    EXPECT_EQ(ax::copyAttributeValues(e, kAXTitleAttribute, 0, 1).error, AXError::illegalArgument)
        << "not an array";
    EXPECT_EQ(ax::copyAttributeValue(stubborn, kAXCloseButtonAttribute).error, AXError::attributeUnsupported);
    EXPECT_EQ(ax::getAttributeValueCount(stubborn, kAXChildrenAttribute).value, 0);
    t_->now.frontFirst[1].canMove = false;
    ++t_->now.generation;
    EXPECT_EQ(ax::isAttributeSettable(e, kAXSizeAttribute).value, false);
    EXPECT_EQ(ax::setAttributeValue(e, kAXSizeAttribute, Value(AXValue::size({1, 1}))),
              AXError::illegalArgument);
    auto button = *ax::copyAttributeValue(e, kAXCloseButtonAttribute).value->asElement();
    EXPECT_EQ(ax::copyAttributeValue(button, kAXParentAttribute).value, Value(e));
    EXPECT_EQ(ax::isAttributeSettable(button, kAXRoleAttribute).value, false);
    const AXElement app = backend_->accessibility().createApplication(7);
    EXPECT_EQ(ax::copyAttributeValue(app, kAXRoleAttribute).value, Value("AXApplication"));
    EXPECT_EQ(ax::copyAttributeValues(app, kAXWindowsAttribute, -1, 1).error, AXError::illegalArgument);
    t_->refuse = true;
    EXPECT_EQ(ax::performAction(button, kAXPressAction), AXError::cannotComplete);
    t_->now.frontFirst[1].id = std::int64_t{1} << 33;
    t_->now.frontFirst[0].id = UINT32_MAX;  // the largest number there is
    ++t_->now.generation;
    EXPECT_EQ(ax::performAction(button, kAXPressAction), AXError::invalidUIElement);
    size_t unnumbered = 0;  // a window number beyond 32 bits is none
    for (const AXElement& w : windows(7)) unnumbered += ax::getWindow(w).error == AXError::failure;
    EXPECT_EQ(unnumbered, 1u);
    // Screens: flipped about the primary, which is first.
    EXPECT_EQ(backend_->screens().screenFrames(),
              (std::vector<Rect>{{0, 0, 1000, 800}, {1000, 450, 500, 400}}));
}

}  // namespace
}  // namespace tarvolin::desktop
