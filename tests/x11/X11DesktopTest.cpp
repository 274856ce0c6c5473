// The X11 desktop against a real X server and window manager, with sample-window clients.
#include "XTestSupport.h"
#include "platform/LocalNotificationCenter.h"
#include "platform/linux/x11/X11Desktop.h"
#include "platform/linux/x11/XWindows.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>

#include <cmath>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>

namespace tarvolin {
namespace {

using namespace testing;

class X11DesktopTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { desktop_ = XvfbDesktop::start({.sessionBus = false}, error_).release(); }
    static void TearDownTestSuite() { delete desktop_; }

    void SetUp() override {
        ASSERT_TRUE(desktop_) << error_;
        std::string error;
        x11_ = X11Desktop::connect(desktop_->display().c_str(), center_, error);
        ASSERT_TRUE(x11_) << error;
    }

    void TearDown() override {
        if (x11_) {
            x11_->processEvents();
            EXPECT_EQ(x11_->unexpectedErrors(), 0u) << x11_->lastUnexpectedError();
        }
        // Newest first: a client started after an older one quit may have inherited its window ids.
        for (auto c = clients_.rbegin(); c != clients_.rend(); ++c)
            EXPECT_TRUE(headless::stopSampleClient(*desktop_, *c));
        clients_.clear();
        EXPECT_TRUE(!desktop_ || desktop_->windowManagerAlive());
    }

    TestClient& start(const std::vector<std::vector<std::string>>& windows) {
        std::string error;
        auto c = startClient(*desktop_, windows, error);
        if (!c) ADD_FAILURE() << error;
        clients_.push_back(c ? std::move(*c) : TestClient{});
        return clients_.back();
    }

    std::vector<WindowDescription> list() {
        return x11_->windows()
            .copyWindowInfo(kCGWindowListExcludeDesktopElements, kCGNullWindowID)
            .value_or(std::vector<WindowDescription>{});
    }

    static const WindowDescription* find(const std::vector<WindowDescription>& l, xcb_window_t w) {
        for (const auto& d : l)
            if (d.number == WindowNumberValue(std::int64_t{w})) return &d;
        return nullptr;
    }

    static std::int64_t i(const std::optional<WindowNumberValue>& v) {
        return v ? std::get<std::int64_t>(*v) : -999999;
    }

    // The element of window `w` of process `pid`, the way the agent finds it.
    AXElement windowElement(std::int32_t pid, xcb_window_t w) {
        auto windows =
            ax::copyAttributeValues(x11_->accessibility().createApplication(pid), "AXWindows", 0, 1000);
        for (const Value& v : windows.value.value_or(Value::Array{}))
            if (const AXElement* e = v.asElement(); e && ax::getWindow(*e).value == w) return *e;
        return {};
    }

    // The frame of a client window in root coordinates, read independently of the backend.
    Rect frameOf(xcb_window_t w) {
        xcb_connection_t* c = desktop_->x().xcb();
        auto* g = xcb_get_geometry_reply(c, xcb_get_geometry(c, w), nullptr);
        auto* t = xcb_translate_coordinates_reply(
            c, xcb_translate_coordinates(c, w, desktop_->x().root(), 0, 0), nullptr);
        auto ext = desktop_->x().cardinals(w, "_NET_FRAME_EXTENTS");
        Rect r{};
        if (g && t && ext.size() == 4)
            r = Rect{double(t->dst_x) - ext[0], double(t->dst_y) - ext[2], double(g->width) + ext[0] + ext[1],
                     double(g->height) + ext[2] + ext[3]};
        std::free(g);
        std::free(t);
        return r;
    }

    static inline XvfbDesktop* desktop_ = nullptr;
    static inline std::string error_;
    LocalNotificationCenter center_;
    std::unique_ptr<X11Desktop> x11_;
    std::deque<TestClient> clients_;  // references stay valid as clients are added
};

TEST_F(X11DesktopTest, WindowListDescribesTheManagedWindows) {
    auto& a = start({{"--title", "Alpha \xe2\x9c\x93", "--geometry", "300x200+50+60"},
                     {"--title", "Pinned", "--above", "--geometry", "100x100+500+300"},
                     {"--type", "dock", "--title", "Panel", "--geometry", "1280x30+0+994"},
                     {"--type", "desktop", "--title", "Wallpaper", "--geometry", "1280x1024+0+0"},
                     {"--title", "Ghost", "--opacity", "0.5"},
                     {"--geometry", "90x90+700+700"}});
    auto& b = start({{"--no-pid", "--title", "Anonymous"}});
    ASSERT_EQ(a.windows.size(), 6u);
    auto l = list();

    using Expect = std::tuple<xcb_window_t, std::int64_t, std::optional<std::string>, double, pid_t>;
    for (const auto& [w, layer, name, alpha, pid] : std::vector<Expect>{
             {a.windows[0], 0, "Alpha \xe2\x9c\x93", 1.0, a.pid()},
             {a.windows[1], 3, "Pinned", 1.0, a.pid()},
             {a.windows[2], 20, "Panel", 1.0, a.pid()},
             {a.windows[4], 0, "Ghost", 0.5, a.pid()},
             {a.windows[5], 0, std::nullopt, 1.0, a.pid()},
             {b.windows[0], 0, "Anonymous", 1.0, b.pid()}}) {  // the last one's owner only through X-Resource
        const WindowDescription* d = find(l, w);
        ASSERT_TRUE(d && d->alpha) << "window " << w << " missing";
        EXPECT_EQ(
            std::tuple(i(d->layer), d->name, std::lround(std::get<double>(*d->alpha) * 1000), i(d->ownerPid)),
            std::tuple(layer, name, std::lround(alpha * 1000), std::int64_t{pid}))
            << w;
    }
    EXPECT_FALSE(find(l, a.windows[3])) << "desktop windows are left out";
    EXPECT_TRUE(find(x11_->windows().copyWindowInfo(0, kCGNullWindowID).value(), a.windows[3]))
        << "unless the caller asks for them";

    // Order: the window manager's stacking order, front first.
    std::vector<std::int64_t> ours, theirs;
    for (const auto& d : l) ours.push_back(i(d.number));
    for (xcb_window_t w : stackingFrontFirst(*desktop_))
        if (w != a.windows[3]) theirs.push_back(w);
    EXPECT_EQ(ours, theirs);
}

TEST_F(X11DesktopTest, AnApplicationsIconIsItsOldestWindowsAndFollowsChangesToIt) {
    auto& a = start({{"--class", "g:Gamma", "--icon", "32x32:ffff0000"},
                     {"--class", "g:Gamma", "--icon", "32x32:ff00ff00"}});

    auto iconPixel = [&] {
        for (const auto& app : x11_->workspace().runningApplications())
            if (app.processIdentifier == a.pid() && app.icon) return app.icon.pixel(0, 0);
        return 0u;
    };
    EXPECT_EQ(iconPixel(), 0xffff0000u) << "the oldest window's, below the newer one";

    std::vector<std::uint32_t> blue = {32, 32};
    blue.insert(blue.end(), 32 * 32, 0xff0000ffu);
    xcb_change_property(desktop_->x().xcb(), XCB_PROP_MODE_REPLACE, a.windows[0],
                        desktop_->x().atom("_NET_WM_ICON"), XCB_ATOM_CARDINAL, 32,
                        static_cast<std::uint32_t>(blue.size()), blue.data());
    desktop_->x().sync();
    EXPECT_EQ(iconPixel(), 0xff0000ffu) << "the icon read again after it changed";
}

TEST_F(X11DesktopTest, WindowElementDescribesAndMovesTheWindow) {
    auto& a = start({{"--title", "Editor", "--geometry", "320x240+40+50", "--class", "ed:Editor"},
                     {"--title", "Other", "--class", "ed:Editor"}});
    const xcb_window_t w = a.windows[0];
    AXElement e = windowElement(a.pid(), w);
    ASSERT_TRUE(e && waitUntilActive(*desktop_, a.windows[1]));
    list();  // a fresh inventory: one sync brings the backend's mirror of the server up to date
    const Rect frame = frameOf(w);
    EXPECT_EQ(ax::copyAttributeValue(e, "AXPosition").value, Value(AXValue::point({frame.x, frame.y})));
    EXPECT_EQ(ax::copyAttributeValue(e, "AXSize").value, Value(AXValue::size({frame.width, frame.height})));

    ASSERT_EQ(ax::setAttributeValue(e, "AXPosition", Value(AXValue::point({200, 150}))), AXError::success);
    EXPECT_TRUE(desktop_->x().waitFor([&] { return frameOf(w).x == 200 && frameOf(w).y == 150; }));
    ASSERT_EQ(ax::setAttributeValue(e, "AXSize", Value(AXValue::size({400, 300}))), AXError::success);
    EXPECT_TRUE(desktop_->x().waitFor([&] { return frameOf(w).width == 400 && frameOf(w).height == 300; }));

    ASSERT_EQ(ax::setAttributeValue(e, "AXMinimized", Value::boolean(true)), AXError::success);
    const xcb_atom_t hidden = desktop_->x().atom("_NET_WM_STATE_HIDDEN");
    ASSERT_TRUE(desktop_->x().waitFor(
        [&] { return std::ranges::count(desktop_->x().cardinals(w, "_NET_WM_STATE"), hidden); }));
    EXPECT_EQ(ax::copyAttributeValue(e, "AXMinimized").value, Value::boolean(true));
    EXPECT_TRUE(find(list(), w)) << "minimised windows stay in the list";
}

// The close button asks politely, and a window that is gone answers as gone.
TEST_F(X11DesktopTest, CloseButtonClosesOnlyWindowsThatSpeakTheCloseProtocol) {
    auto& a = start({{"--title", "Closable"}, {"--title", "Stubborn", "--unclosable"}});
    AXElement closable = windowElement(a.pid(), a.windows[0]);
    AXElement stubborn = windowElement(a.pid(), a.windows[1]);
    ASSERT_TRUE(closable && stubborn);
    EXPECT_FALSE(ax::copyAttributeValue(stubborn, "AXCloseButton").ok());
    // A window that learns the close protocol later has the button from then on.
    const xcb_atom_t deleteWindow = desktop_->x().atom("WM_DELETE_WINDOW");
    xcb_change_property(desktop_->x().xcb(), XCB_PROP_MODE_REPLACE, a.windows[1],
                        desktop_->x().atom("WM_PROTOCOLS"), XCB_ATOM_ATOM, 32, 1, &deleteWindow);
    desktop_->x().sync();
    EXPECT_TRUE(ax::copyAttributeValue(stubborn, "AXCloseButton").ok());

    auto button = ax::copyAttributeValue(closable, "AXCloseButton");
    ASSERT_TRUE(button.value && button.value->asElement());
    AXElement b = *button.value->asElement();
    EXPECT_EQ(ax::performAction(b, "AXPress"), AXError::success);
    EXPECT_EQ(a.process->readLine(10s), "closed " + std::to_string(a.windows[0])) << "asked politely";
    EXPECT_TRUE(waitUntilGone(*desktop_, a.windows[0]));

    EXPECT_EQ(ax::copyAttributeValue(closable, "AXTitle").error, AXError::invalidUIElement);
}

TEST_F(X11DesktopTest, QuitClosesWhatItPolitelyCanAndSaysWhatItCouldNot) {
    auto& q = start({{"--class", "q:Quitter"}, {"--class", "q:Quitter", "--unclosable"}});
    ScriptResult r = x11_->scripts().executeScript(R"(tell the application "Quitter" to quit)");
    char stubborn[16];
    std::snprintf(stubborn, sizeof stubborn, "0x%08x", q.windows[1]);
    EXPECT_TRUE(!r.ok && r.error.ends_with(stubborn)) << r.error;
    EXPECT_TRUE(waitUntilGone(*desktop_, q.windows[0]));
}

// The close keystroke goes to the window just raised, or nowhere.
TEST_F(X11DesktopTest, NoCloseKeystrokeWhenTheRaisedWindowIsNotTheActiveOne) {
    auto& stubborn = start({{"--title", "S", "--unclosable"}});
    AXElement raised = windowElement(stubborn.pid(), stubborn.windows[0]);
    ASSERT_EQ(ax::performAction(raised, "AXRaise"), AXError::success);
    ASSERT_TRUE(waitUntilActive(*desktop_, stubborn.windows[0]));
    list();  // the backend has seen it active: only a fresh look tells that it was overtaken
    // Overtaken by a new window before the keystroke is due.
    auto& bystander = start({{"--title", "B"}});
    const xcb_window_t b = bystander.windows[0];
    ASSERT_TRUE(waitUntilActive(*desktop_, b));
    EXPECT_FALSE(
        x11_->scripts()
            .executeScript(R"(tell the application "System Events" to keystroke"w" using command down)")
            .ok);
    // A key would have reached the bystander before the answer to its second command.
    for (const char* title : {"one", "two"}) {
        ASSERT_TRUE(bystander.process->writeLine(std::string("title 0 ") + title));
        EXPECT_EQ(bystander.process->readLine(10s), "titled " + std::to_string(b));
    }
}

TEST_F(X11DesktopTest, AWindowThatVanishesIsLeftOutWithoutAnError) {
    auto& a = start({{"--title", "Stays"}, {"--title", "Goes"}});
    xcb_window_t gone = a.windows[1];
    a.process->writeLine("destroy 1");
    ASSERT_EQ(a.process->readLine(10s), "destroyed " + std::to_string(gone));
    desktop_->x().sync();
    // Asked about directly, as a scan that read the list just before the window went would.
    std::string error;
    auto conn = x11::Connection::open(desktop_->display().c_str(), error);
    ASSERT_TRUE(conn) << error;
    x11::Survey s = x11::survey(*conn, {gone, a.windows[0], gone}, ~0u, true);
    ASSERT_EQ(s.windows.size(), 1u);
    EXPECT_EQ(s.windows[0].title, "Stays");
    EXPECT_EQ(conn->unexpectedErrors(), 0u) << conn->lastUnexpectedError();
}

TEST_F(X11DesktopTest, AReusedWindowIdBelongsToItsNewOwner) {
    // X hands a quitting client's id range to the next client: what was known about an id must not stick.
    auto& first = start({{"--class", "f:First", "--icon", "32x32:ff0000ff"}});
    EXPECT_EQ(i(find(list(), first.windows[0])->ownerPid), first.pid());
    ASSERT_EQ(x11_->workspace().runningApplications().size(), 1u);
    ASSERT_TRUE(headless::stopSampleClient(*desktop_, first));

    auto& second = start({{"--class", "s:Second"}});
    auto apps = x11_->workspace().runningApplications();
    ASSERT_EQ(apps.size(), 1u);
    EXPECT_EQ(apps[0].processIdentifier, second.pid());
    EXPECT_EQ(apps[0].localizedName, "Second");
    // openbox gives icon-less windows its own icon: anything but the old blue square.
    EXPECT_FALSE(apps[0].icon.pixelWidth() == 32 && apps[0].icon.pixel(0, 0) == 0xff0000ffu);
}

// fluxbox never reorders its stacking list: only the frames on the server tell the order.
class X11FluxboxTest : public X11DesktopTest {
protected:
    static void SetUpTestSuite() {
        // A style without a wallpaper, and a home that is not fluxbox's first: either would make fluxbox
        // pop up a window to say it cannot set one.
        std::filesystem::create_directories(home_ + "/.fluxbox");
        std::ofstream(home_ + "/rc") << "session.styleFile: /usr/share/fluxbox/styles/Squared_blue\n";
        desktop_ = XvfbDesktop::start(
                       {.sessionBus = false,
                        .windowManagerCommand = {"env", "HOME=" + home_, "fluxbox", "-rc", home_ + "/rc"}},
                       error_)
                       .release();
    }
    static void TearDownTestSuite() {
        // fluxbox 1.3.5 calls into Xlib from its SIGTERM handler and can deadlock there.
        if (desktop_ && desktop_->windowManagerAlive() && desktop_->windowManagerPid() > 0)
            kill(desktop_->windowManagerPid(), SIGKILL);
        X11DesktopTest::TearDownTestSuite();
        std::filesystem::remove_all(home_);
    }
    static inline const std::string home_ = "/tmp/tarvolin-fluxbox-" + std::to_string(getpid());
};

TEST_F(X11FluxboxTest, EachRaisedWindowComesFirstAndTheRestKeepTheFramesOrder) {
    auto& c = start({{}, {}, {}});
    ASSERT_EQ(c.windows.size(), 3u);
    const xcb_window_t a = c.windows[0], b = c.windows[1], cc = c.windows[2];
    auto order = [&] {
        std::vector<std::int64_t> ids;
        for (const auto& d : list()) ids.push_back(i(d.number));
        return ids;
    };
    // The window raised, then the order front first.
    for (const auto& [raised, want] : std::vector<std::pair<xcb_window_t, std::vector<std::int64_t>>>{
             {a, {a, cc, b}}, {cc, {cc, a, b}}, {b, {b, cc, a}}, {a, {a, b, cc}}}) {
        ASSERT_EQ(ax::performAction(windowElement(c.pid(), raised), "AXRaise"), AXError::success);
        EXPECT_TRUE(desktop_->x().waitFor([&] { return order() == want; }))
            << ::testing::PrintToString(order());
    }
}

TEST(X11DesktopConnection, FailsClearlyWithoutADisplayAndNoticesWhenItGoes) {
    LocalNotificationCenter center;
    std::string error;
    EXPECT_FALSE(X11Desktop::connect(":4095", center, error));
    EXPECT_NE(error.find(":4095"), std::string::npos) << error;

    auto desktop = XvfbDesktop::start({.sessionBus = false}, error);
    ASSERT_TRUE(desktop) << error;
    auto x11 = X11Desktop::connect(desktop->display().c_str(), center, error);
    ASSERT_TRUE(x11) << error;
    ASSERT_TRUE(x11->processEvents());

    desktop->stopServer();
    pollfd p{x11->fd(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 10000), 1) << "the run loop would be woken";
    EXPECT_FALSE(x11->processEvents());
    EXPECT_FALSE(x11->windows().copyWindowInfo(kCGWindowListExcludeDesktopElements, 0));
}

}  // namespace
}  // namespace tarvolin
