// The X11 desktop against a real X server and window manager, with our test client.
#include "XFixture.h"
#include "platform/LocalNotificationCenter.h"
#include "platform/linux/x11/X11Desktop.h"
#include "platform/linux/x11/XWindows.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <deque>
#include <map>

namespace tarvolin {
namespace {

using namespace std::chrono_literals;
using testing::TestClient;
using testing::XSession;

class X11DesktopTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string error;
        session_ = XSession::start(error).release();
        if (!session_) sessionError_ = error;
    }
    static void TearDownTestSuite() {
        delete session_;
        session_ = nullptr;
    }

    void SetUp() override {
        ASSERT_TRUE(session_) << sessionError_;
        std::string error;
        desktop_ = X11Desktop::connect(session_->display().c_str(), center_, error);
        ASSERT_TRUE(desktop_) << error;
    }

    void TearDown() override {
        if (desktop_) {
            desktop_->processEvents();
            EXPECT_EQ(desktop_->unexpectedErrors(), 0u) << desktop_->lastUnexpectedError();
        }
        // Newest first: a client started after an older one quit may have inherited its window ids.
        for (auto c = clients_.rbegin(); c != clients_.rend(); ++c) EXPECT_TRUE(session_->stopClient(*c));
        clients_.clear();
        if (session_) {
            EXPECT_TRUE(session_->openboxAlive());
        }
    }

    // A client with one window per entry, each entry holding that window's options.
    TestClient& start(const std::vector<std::vector<std::string>>& windows) {
        std::vector<std::string> args;
        for (const auto& w : windows) {
            args.push_back("--window");
            args.insert(args.end(), w.begin(), w.end());
        }
        std::string error;
        auto c = session_->startClient(args, error);
        if (!c) ADD_FAILURE() << error;
        clients_.push_back(c ? std::move(*c) : TestClient{});
        return clients_.back();
    }

    std::vector<WindowDescription> list() {
        auto l = desktop_->windows().copyWindowInfo(kCGWindowListExcludeDesktopElements, kCGNullWindowID);
        EXPECT_TRUE(l.has_value());
        return l.value_or(std::vector<WindowDescription>{});
    }

    static const WindowDescription* find(const std::vector<WindowDescription>& l, xcb_window_t w) {
        for (const auto& d : l)
            if (d.number && std::get<std::int64_t>(*d.number) == std::int64_t{w}) return &d;
        return nullptr;
    }

    static std::int64_t i(const std::optional<WindowNumberValue>& v) {
        if (!v) return -999999;
        if (auto* n = std::get_if<std::int64_t>(&*v)) return *n;
        return static_cast<std::int64_t>(std::get<double>(*v));
    }

    // The element of window `w` of process `pid`, the way the agent finds it.
    AXElement windowElement(std::int32_t pid, xcb_window_t w) {
        AXElement app = desktop_->accessibility().createApplication(pid);
        auto windows = ax::copyAttributeValues(app, "AXWindows", 0, 1000);
        if (!windows.ok() || !windows.value) return {};
        for (const Value& v : *windows.value) {
            const AXElement* e = v.asElement();
            if (e && ax::getWindow(*e).value == w) return *e;
        }
        return {};
    }

    // The frame of a client window in root coordinates, read independently of the backend.
    Rect frameOf(xcb_window_t w) {
        xcb_connection_t* c = session_->xcb();
        auto* g = xcb_get_geometry_reply(c, xcb_get_geometry(c, w), nullptr);
        auto* t = xcb_translate_coordinates_reply(c, xcb_translate_coordinates(c, w, session_->root(), 0, 0),
                                                  nullptr);
        auto ext = session_->cardinals(w, "_NET_FRAME_EXTENTS");
        Rect r{};
        if (g && t && ext.size() == 4)
            r = Rect{double(t->dst_x) - ext[0], double(t->dst_y) - ext[2], double(g->width) + ext[0] + ext[1],
                     double(g->height) + ext[2] + ext[3]};
        std::free(g);
        std::free(t);
        return r;
    }

    static XSession* session_;
    static std::string sessionError_;
    LocalNotificationCenter center_;
    std::unique_ptr<X11Desktop> desktop_;
    std::deque<TestClient> clients_;  // references stay valid as clients are added
};

XSession* X11DesktopTest::session_ = nullptr;
std::string X11DesktopTest::sessionError_;

TEST_F(X11DesktopTest, WindowListDescribesTheManagedWindows) {
    auto& a = start({{"--title", "Alpha \xe2\x9c\x93", "--geometry", "300x200+50+60"},
                     {"--type", "utility", "--title", "Tool", "--geometry", "120x80+400+60"},
                     {"--title", "Pinned", "--above", "--geometry", "100x100+500+300"},
                     {"--type", "dock", "--title", "Panel", "--geometry", "1280x30+0+994"},
                     {"--type", "desktop", "--title", "Wallpaper", "--geometry", "1280x1024+0+0"},
                     {"--title", "Ghost", "--opacity", "0.5"},
                     {"--geometry", "90x90+700+700"},
                     {"--wm-name", "caf\xe9"}});
    auto& b = start({{"--no-pid", "--title", "Anonymous"}});
    ASSERT_EQ(a.windows.size(), 8u);
    auto l = list();

    struct Expect {
        xcb_window_t w;
        std::int64_t layer;
        std::optional<std::string> name;
        double alpha;
        pid_t pid;
    };
    const Expect expected[] = {
        {a.windows[0], 0, "Alpha \xe2\x9c\x93", 1.0, a.pid()},
        {a.windows[1], 0, "Tool", 1.0, a.pid()},
        {a.windows[2], 3, "Pinned", 1.0, a.pid()},
        {a.windows[3], 20, "Panel", 1.0, a.pid()},
        {a.windows[5], 0, "Ghost", 0.5, a.pid()},
        {a.windows[6], 0, std::nullopt, 1.0, a.pid()},
        {a.windows[7], 0, "caf\xc3\xa9", 1.0, a.pid()},
        {b.windows[0], 0, "Anonymous", 1.0, b.pid()},
    };
    for (const Expect& e : expected) {
        const WindowDescription* d = find(l, e.w);
        ASSERT_TRUE(d) << "window " << e.w << " missing";
        EXPECT_EQ(i(d->layer), e.layer) << e.w;
        EXPECT_EQ(d->name, e.name) << e.w;
        ASSERT_TRUE(d->alpha);
        EXPECT_NEAR(std::get<double>(*d->alpha), e.alpha, 1e-6) << e.w;
        EXPECT_EQ(i(d->ownerPid), e.pid) << e.w;  // the last one only through X-Resource
    }
    EXPECT_FALSE(find(l, a.windows[4])) << "desktop windows are left out";
    auto withDesktop = desktop_->windows().copyWindowInfo(0, kCGNullWindowID);
    ASSERT_TRUE(withDesktop);
    EXPECT_TRUE(find(*withDesktop, a.windows[4])) << "unless the caller asks for them";

    // Bounds: the frame in root coordinates, decorations included.
    const auto& bounds = find(l, a.windows[0])->bounds;
    ASSERT_TRUE(bounds);
    const Rect frame = frameOf(a.windows[0]);
    EXPECT_EQ((Rect{double(i(bounds->x)), double(i(bounds->y)), double(i(bounds->width)),
                    double(i(bounds->height))}),
              frame);
    EXPECT_GT(frame.height, 200) << "openbox decorates normal windows";

    // Order: the window manager's stacking order, front first.
    std::vector<std::int64_t> ours, theirs;
    for (const auto& d : l) ours.push_back(i(d.number));
    for (xcb_window_t w : session_->stackingFrontFirst())
        if (w != a.windows[4]) theirs.push_back(w);
    EXPECT_EQ(ours, theirs);
}

TEST_F(X11DesktopTest, RunningApplicationsAreTheWindowOwnersWithNameAndIcon) {
    auto& a = start({{"--class", "alpha:AlphaApp", "--icon", "16x16:ffff0000", "--icon", "48x48:800000ff",
                      "--icon", "64x64:ff00ff00"},
                     {"--class", "alpha:AlphaApp"}});
    auto& b = start({{"--class", "beta:BetaApp"}});
    auto apps = desktop_->workspace().runningApplications();
    ASSERT_TRUE(std::is_sorted(apps.begin(), apps.end(), [](const auto& x, const auto& y) {
        return x.processIdentifier < y.processIdentifier;
    }));
    std::map<std::int32_t, RunningApplication> byPid;
    for (auto& app : apps) byPid[app.processIdentifier] = app;
    ASSERT_TRUE(byPid.count(a.pid()));
    ASSERT_TRUE(byPid.count(b.pid()));
    EXPECT_EQ(byPid[a.pid()].localizedName, "AlphaApp");
    EXPECT_EQ(byPid[b.pid()].localizedName, "BetaApp");
    const Image& icon = byPid[a.pid()].icon;
    ASSERT_EQ(icon.pixelWidth(), 48) << "the smallest icon that covers 32 x 32";
    EXPECT_EQ(icon.pixel(10, 10), 0x80000080u) << "half-transparent blue, premultiplied";
    EXPECT_EQ(&desktop_->workspace().notificationCenter(), &center_);
}

TEST_F(X11DesktopTest, RaiseMakesTheWindowActiveAndFront) {
    auto& a = start({{"--title", "Back", "--geometry", "300x300+100+100"},
                     {"--title", "Middle", "--geometry", "300x300+150+150"}});
    auto& b = start({{"--title", "Front", "--geometry", "300x300+200+200"}});
    ASSERT_TRUE(session_->waitUntilActive(b.windows[0]));
    AXElement back = windowElement(a.pid(), a.windows[0]);
    ASSERT_TRUE(back);

    // As the agent raises: AXRaise on the window, then its process to the front with that window only.
    EXPECT_EQ(ax::performAction(back, "AXRaise"), AXError::success);
    auto psn = desktop_->processes().getProcessForPID(a.pid());
    ASSERT_TRUE(psn);
    EXPECT_EQ(desktop_->processes().setFrontProcessWithOptions(*psn, kSetFrontProcessFrontWindowOnly), 0);

    ASSERT_TRUE(session_->waitUntilActive(a.windows[0]));
    ASSERT_TRUE(session_->waitFor([&] { return session_->stackingFrontFirst().front() == a.windows[0]; }));
    auto stack = session_->stackingFrontFirst();
    auto pos = [&](xcb_window_t w) { return std::find(stack.begin(), stack.end(), w) - stack.begin(); };
    EXPECT_LT(pos(b.windows[0]), pos(a.windows[1])) << "only the front window came forward";

    EXPECT_EQ(ax::copyAttributeValue(back, "AXFocused").value, Value::boolean(true));
    EXPECT_EQ(ax::copyAttributeValue(back, "AXMain").value, Value::boolean(true));
    EXPECT_EQ(ax::copyAttributeValue(windowElement(a.pid(), a.windows[1]), "AXMain").value,
              Value::boolean(false));
    EXPECT_FALSE(desktop_->processes().getProcessForPID(999999)) << "no window, no process";
    EXPECT_NE(desktop_->processes().setFrontProcessWithOptions({0, 999999}, kSetFrontProcessFrontWindowOnly),
              0);
}

TEST_F(X11DesktopTest, WindowElementDescribesAndMovesTheWindow) {
    auto& a = start({{"--title", "Editor", "--geometry", "320x240+40+50", "--class", "ed:Editor"}});
    AXElement e = windowElement(a.pid(), a.windows[0]);
    ASSERT_TRUE(e);
    EXPECT_EQ(ax::getWindow(e).value, a.windows[0]);
    EXPECT_EQ(ax::copyAttributeValue(e, "AXRole").value, Value("AXWindow"));
    EXPECT_EQ(ax::copyAttributeValue(e, "AXTitle").value, Value("Editor"));
    EXPECT_EQ(ax::copyAttributeValue(e, "AXMinimized").value, Value::boolean(false));
    Rect frame = frameOf(a.windows[0]);
    EXPECT_EQ(ax::copyAttributeValue(e, "AXPosition").value, Value(AXValue::point({frame.x, frame.y})));
    EXPECT_EQ(ax::copyAttributeValue(e, "AXSize").value, Value(AXValue::size({frame.width, frame.height})));
    EXPECT_EQ(ax::copyAttributeValue(e, "AXNoSuchThing").error, AXError::attributeUnsupported);
    EXPECT_EQ(ax::performAction(e, "AXPress"), AXError::actionUnsupported);

    auto parentValue = ax::copyAttributeValue(e, "AXParent");
    ASSERT_TRUE(parentValue.value && parentValue.value->asElement());
    AXElement parent = *parentValue.value->asElement();
    EXPECT_EQ(parent, desktop_->accessibility().createApplication(a.pid())) << "one element per process";
    EXPECT_EQ(ax::copyAttributeValue(parent, "AXRole").value, Value("AXApplication"));
    EXPECT_EQ(ax::copyAttributeValue(parent, "AXTitle").value, Value("Editor"));
    EXPECT_EQ(ax::getAttributeValueCount(parent, "AXWindows").value, 1);

    for (const char* settable : {"AXPosition", "AXSize", "AXMinimized"})
        EXPECT_EQ(ax::isAttributeSettable(e, settable).value, true) << settable;
    EXPECT_EQ(ax::isAttributeSettable(e, "AXTitle").value, false);
    EXPECT_EQ(ax::setAttributeValue(e, "AXPosition", Value("10,10")), AXError::illegalArgument);
    EXPECT_EQ(ax::setAttributeValue(e, "AXPosition", Value(AXValue::point({std::nan(""), 3}))),
              AXError::illegalArgument);

    ASSERT_EQ(ax::setAttributeValue(e, "AXPosition", Value(AXValue::point({200, 150}))), AXError::success);
    EXPECT_TRUE(session_->waitFor(
        [&] { return frameOf(a.windows[0]).x == 200 && frameOf(a.windows[0]).y == 150; }, 5s))
        << "frame at " << frameOf(a.windows[0]).x << "," << frameOf(a.windows[0]).y;
    ASSERT_EQ(ax::setAttributeValue(e, "AXSize", Value(AXValue::size({400, 300}))), AXError::success);
    EXPECT_TRUE(session_->waitFor(
        [&] { return frameOf(a.windows[0]).width == 400 && frameOf(a.windows[0]).height == 300; }, 5s))
        << "frame " << frameOf(a.windows[0]).width << "x" << frameOf(a.windows[0]).height;

    ASSERT_EQ(ax::setAttributeValue(e, "AXMinimized", Value::boolean(true)), AXError::success);
    const xcb_atom_t hidden = session_->atom("_NET_WM_STATE_HIDDEN");
    auto isHidden = [&] {
        auto st = session_->cardinals(a.windows[0], "_NET_WM_STATE");
        return std::find(st.begin(), st.end(), hidden) != st.end();
    };
    ASSERT_TRUE(session_->waitFor(isHidden, 5s));
    EXPECT_EQ(ax::copyAttributeValue(e, "AXMinimized").value, Value::boolean(true));
    auto l = list();
    EXPECT_TRUE(find(l, a.windows[0])) << "minimised windows stay in the list";
    ASSERT_EQ(ax::setAttributeValue(e, "AXMinimized", Value::boolean(false)), AXError::success);
    EXPECT_TRUE(session_->waitFor([&] { return !isHidden(); }, 5s));
}

TEST_F(X11DesktopTest, CloseButtonClosesOnlyWindowsThatSpeakTheCloseProtocol) {
    auto& a = start({{"--title", "Closable"}, {"--title", "Stubborn", "--unclosable"}});
    AXElement closable = windowElement(a.pid(), a.windows[0]);
    AXElement stubborn = windowElement(a.pid(), a.windows[1]);
    ASSERT_TRUE(closable && stubborn);

    auto names = ax::copyAttributeNames(stubborn).value.value_or(std::vector<std::string>{});
    EXPECT_EQ(std::count(names.begin(), names.end(), "AXCloseButton"), 0);
    EXPECT_FALSE(ax::copyAttributeValue(stubborn, "AXCloseButton").ok());
    EXPECT_EQ(ax::getAttributeValueCount(stubborn, "AXChildren").value, 0);

    auto button = ax::copyAttributeValue(closable, "AXCloseButton");
    ASSERT_TRUE(button.ok() && button.value && button.value->asElement());
    AXElement b = *button.value->asElement();
    EXPECT_EQ(ax::copyAttributeValue(b, "AXRole").value, Value("AXButton"));
    EXPECT_EQ(ax::copyActionNames(b).value, std::vector<std::string>{"AXPress"});
    EXPECT_EQ(ax::getAttributeValueCount(closable, "AXChildren").value, 1);

    EXPECT_EQ(ax::performAction(b, "AXPress"), AXError::success);
    EXPECT_EQ(a.process->readLine(10s), "closed " + std::to_string(a.windows[0]))
        << "the client was asked politely";
    EXPECT_TRUE(session_->waitUntilGone(a.windows[0]));
    EXPECT_TRUE(session_->managed(a.windows[1]));

    // The window is gone: its elements say so, and the list leaves it out.
    EXPECT_EQ(ax::copyAttributeValue(closable, "AXTitle").error, AXError::invalidUIElement);
    EXPECT_EQ(ax::performAction(closable, "AXRaise"), AXError::invalidUIElement);
    EXPECT_EQ(ax::performAction(b, "AXPress"), AXError::invalidUIElement);
    EXPECT_FALSE(find(list(), a.windows[0]));
    EXPECT_FALSE(closable.node()->description().empty());
}

TEST_F(X11DesktopTest, CloseKeystrokeReachesTheFocusedWindow) {
    auto& a = start({{"--title", "Stubborn", "--unclosable"}});
    auto& other = start({{"--title", "Bystander"}});
    ASSERT_TRUE(session_->waitUntilActive(other.windows[0]));
    // As the agent closes a window without a close button: raise it, then the keystroke.
    AXElement e = windowElement(a.pid(), a.windows[0]);
    ASSERT_EQ(ax::performAction(e, "AXRaise"), AXError::success);
    ASSERT_TRUE(session_->waitUntilActive(a.windows[0]));
    ScriptResult r = desktop_->scripts().executeScript(
        R"(tell the application "System Events" to keystroke"w" using command down)");
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(a.process->readLine(10s), "keyclosed " + std::to_string(a.windows[0]));
    EXPECT_TRUE(session_->waitUntilGone(a.windows[0]));
    EXPECT_TRUE(session_->managed(other.windows[0]));
}

TEST_F(X11DesktopTest, QuitClosesEveryWindowOfTheApplicationPolitely) {
    auto& q = start({{"--class", "q:Quitter"}, {"--class", "q:Quitter"}});
    auto& q2 = start({{"--class", "q:Quitter"}});  // a second process of the same name
    auto& other = start({{"--class", "o:Other"}});
    ScriptResult r = desktop_->scripts().executeScript(R"(tell the application "Quitter" to quit)");
    EXPECT_TRUE(r.ok) << r.error;
    for (xcb_window_t w : {q.windows[0], q.windows[1], q2.windows[0]})
        EXPECT_TRUE(session_->waitUntilGone(w));
    EXPECT_TRUE(q.process->wait(10s)) << "the client quit when its last window closed";
    EXPECT_TRUE(session_->managed(other.windows[0]));

    // A window that can only be killed is left open, and the caller is told.
    auto& s = start({{"--class", "s:Sticky"}, {"--class", "s:Sticky", "--unclosable"}});
    r = desktop_->scripts().executeScript(R"(tell the application "Sticky" to quit)");
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find("1 window"), std::string::npos) << r.error;
    EXPECT_TRUE(session_->waitUntilGone(s.windows[0]));
    EXPECT_TRUE(session_->managed(s.windows[1]));
    EXPECT_TRUE(s.process->running());
}

TEST_F(X11DesktopTest, ScriptErrorsAreReportedNotActedOn) {
    auto& a = start({{"--class", "a:Apple"}});
    for (const char* script :
         {R"(tell the application "Nobody" to quit)", R"(tell the application "Apple " to quit)",
          R"(tell the application "apple" to activate)",
          R"(tell application "System Preferences" to reveal anchor "Privacy_Accessibility")",
          "tell the application \"Apple\" to quit; do shell script \"true\""}) {
        ScriptResult r = desktop_->scripts().executeScript(script);
        EXPECT_FALSE(r.ok) << script;
        EXPECT_FALSE(r.error.empty()) << script;
    }
    session_->sync();
    EXPECT_TRUE(session_->managed(a.windows[0]));
}

TEST_F(X11DesktopTest, ActivateBringsTheApplicationsFrontWindowForward) {
    auto& a = start({{"--class", "a:Apple", "--title", "A1"}, {"--class", "a:Apple", "--title", "A2"}});
    auto& b = start({{"--class", "b:Banana"}});
    ASSERT_TRUE(session_->waitUntilActive(b.windows[0]));
    ScriptResult r = desktop_->scripts().executeScript(R"(tell the application "Apple" to activate)");
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_TRUE(session_->waitUntilActive(a.windows[1])) << "A2 was Apple's front window";
    EXPECT_TRUE(session_->waitFor([&] { return session_->stackingFrontFirst().front() == a.windows[1]; }));
}

TEST_F(X11DesktopTest, AWindowThatVanishesIsLeftOutWithoutAnError) {
    auto& a = start({{"--title", "Stays"}, {"--title", "Goes"}});
    xcb_window_t gone = a.windows[1];
    a.process->writeLine("destroy 1");
    ASSERT_EQ(a.process->readLine(10s), "destroyed " + std::to_string(gone));
    session_->sync();
    // Asked about directly, as a scan that read the list just before the window went would.
    std::string error;
    auto conn = x11::Connection::open(session_->display().c_str(), error);
    ASSERT_TRUE(conn) << error;
    x11::Survey s = x11::survey(*conn, {gone, a.windows[0], gone}, ~0u, true);
    ASSERT_EQ(s.windows.size(), 1u);
    EXPECT_EQ(s.windows[0].id, a.windows[0]);
    EXPECT_EQ(s.windows[0].title, "Stays");
    EXPECT_EQ(conn->unexpectedErrors(), 0u) << conn->lastUnexpectedError();
    EXPECT_FALSE(find(list(), gone));
}

TEST_F(X11DesktopTest, AReusedWindowIdBelongsToItsNewOwner) {
    // X hands a quitting client's id range to the next client: the same window id
    // may come back with another owner, and what was known about it must not stick.
    auto& first = start({{"--class", "f:First", "--icon", "32x32:ff0000ff"}});
    xcb_window_t id = first.windows[0];
    auto before = list();
    ASSERT_TRUE(find(before, id));
    EXPECT_EQ(i(find(before, id)->ownerPid), first.pid());
    ASSERT_EQ(desktop_->workspace().runningApplications().size(), 1u);
    ASSERT_TRUE(session_->stopClient(first));

    auto& second = start({{"--class", "s:Second"}});
    auto after = list();
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(i(after[0].ownerPid), second.pid());
    auto apps = desktop_->workspace().runningApplications();
    ASSERT_EQ(apps.size(), 1u);
    EXPECT_EQ(apps[0].processIdentifier, second.pid());
    EXPECT_EQ(apps[0].localizedName, "Second");
    // openbox gives icon-less windows its own icon: anything but the old blue square.
    EXPECT_FALSE(apps[0].icon.pixelWidth() == 32 && apps[0].icon.pixel(0, 0) == 0xff0000ffu)
        << "the icon of the window that had the id before";
    if (second.windows[0] != id) GTEST_SKIP() << "the X server did not reuse the id this time";
}

TEST_F(X11DesktopTest, RoundTripsPerScanDoNotGrowWithTheWindows) {
    auto countScan = [&] {
        std::uint64_t before = desktop_->roundTrips();
        auto l = list();
        return std::pair{desktop_->roundTrips() - before, l.size()};
    };
    std::vector<std::vector<std::string>> few, many;
    for (int k = 0; k < 5; ++k) few.push_back({"--geometry", "50x50+" + std::to_string(k * 10) + "+0"});
    for (int k = 0; k < 60; ++k) {
        many.push_back({"--geometry", "50x50+" + std::to_string(k * 10) + "+100"});
        if (k % 2) many.back().push_back("--no-pid");  // half of them need the X-Resource pass
    }
    start(few);
    auto [tripsFew, countFew] = countScan();
    start(many);
    auto [tripsMany, countMany] = countScan();
    EXPECT_EQ(countMany, countFew + 60);
    EXPECT_EQ(tripsMany, tripsFew + 1) << "one more trip for the X-Resource pass, none per window";
    EXPECT_LE(tripsMany, 3u);

    // The applications and an element's attribute cost a constant number of trips too.
    std::uint64_t before = desktop_->roundTrips();
    desktop_->workspace().runningApplications();
    EXPECT_LE(desktop_->roundTrips() - before, 4u);
}

TEST_F(X11DesktopTest, ScreensComeFromRandRWithTheOriginAtThePrimarysBottomLeft) {
    auto frames = desktop_->screens().screenFrames();
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.front(), (Rect{0, 0, 1280, 1024}));
}

TEST(X11DesktopWithoutWindowManager, ListsTopLevelsAndStillClosesPolitely) {
    std::string error;
    auto session = XSession::start(error, /*windowManager=*/false);
    ASSERT_TRUE(session) << error;
    LocalNotificationCenter center;
    auto desktop = X11Desktop::connect(session->display().c_str(), center, error);
    ASSERT_TRUE(desktop) << error;
    auto client = session->startClient({"--window", "--title", "Older", "--geometry", "200x100+10+20",
                                        "--window", "--title", "Newer", "--geometry", "200x100+30+40"},
                                       error);
    ASSERT_TRUE(client) << error;
    const xcb_window_t older = client->windows[0], newer = client->windows[1];

    auto list = desktop->windows().copyWindowInfo(kCGWindowListExcludeDesktopElements, 0);
    ASSERT_TRUE(list);
    ASSERT_EQ(list->size(), 2u);
    EXPECT_EQ((*list)[0].number, WindowNumberValue(std::int64_t{newer})) << "front first";
    EXPECT_EQ((*list)[1].name, "Older");
    ASSERT_TRUE((*list)[1].bounds);
    EXPECT_EQ((*list)[1].bounds->x, WindowNumberValue(std::int64_t{10})) << "no frame: the window itself";
    EXPECT_EQ((*list)[1].bounds->width, WindowNumberValue(std::int64_t{200}));

    AXElement app = desktop->accessibility().createApplication(client->pid());
    auto windows = ax::copyAttributeValues(app, "AXWindows", 0, 10);
    ASSERT_TRUE(windows.value && windows.value->size() == 2u);
    AXElement olderElement = *(*windows.value)[1].asElement();
    ASSERT_EQ(ax::getWindow(olderElement).value, older);

    // Raised by restacking and focusing it directly.
    ASSERT_EQ(ax::performAction(olderElement, "AXRaise"), AXError::success);
    EXPECT_TRUE(session->waitFor([&] { return session->topLevelsFrontFirst().front() == older; }));

    // Closed by WM_DELETE_WINDOW sent to the client itself.
    auto button = ax::copyAttributeValue(olderElement, "AXCloseButton");
    ASSERT_TRUE(button.value && button.value->asElement());
    ASSERT_EQ(ax::performAction(*button.value->asElement(), "AXPress"), AXError::success);
    EXPECT_EQ(client->process->readLine(10s), "closed " + std::to_string(older));
    desktop->processEvents();
    EXPECT_EQ(desktop->unexpectedErrors(), 0u) << desktop->lastUnexpectedError();
    EXPECT_TRUE(session->stopClient(*client));
}

TEST(X11DesktopConnection, FailsClearlyWithoutADisplay) {
    LocalNotificationCenter center;
    std::string error;
    EXPECT_FALSE(X11Desktop::connect(":4095", center, error));
    EXPECT_NE(error.find(":4095"), std::string::npos) << error;
}

TEST(X11DesktopConnection, NoticesWhenTheDisplayGoesAway) {
    std::string error;
    auto session = XSession::start(error);
    ASSERT_TRUE(session) << error;
    LocalNotificationCenter center;
    auto desktop = X11Desktop::connect(session->display().c_str(), center, error);
    ASSERT_TRUE(desktop) << error;
    auto client = session->startClient({"--window", "--class", "a:Apple"}, error);
    ASSERT_TRUE(client) << error;
    AXElement app = desktop->accessibility().createApplication(client->pid());
    ASSERT_TRUE(desktop->processEvents());

    session->stopServer();
    pollfd p{desktop->fd(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 10000), 1) << "the run loop would be woken";
    EXPECT_FALSE(desktop->processEvents());
    EXPECT_FALSE(desktop->windows().copyWindowInfo(kCGWindowListExcludeDesktopElements, 0));
    EXPECT_TRUE(desktop->workspace().runningApplications().empty());
    EXPECT_FALSE(desktop->scripts().executeScript(R"(tell the application "Apple" to quit)").ok);
    EXPECT_EQ(ax::copyAttributeValue(app, "AXWindows").error, AXError::cannotComplete);
}

}  // namespace
}  // namespace tarvolin
