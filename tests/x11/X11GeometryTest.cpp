// Geometry on a desktop without a window manager (frames are the windows): a bordered
// window's size survives a read and write-back, and positions measure from the primary monitor.
#include "XTestSupport.h"
#include "platform/LocalNotificationCenter.h"
#include "platform/linux/x11/X11Desktop.h"

#include <gtest/gtest.h>
#include <sys/uio.h>
#include <xcb/randr.h>
#include <xcb/xcbext.h>

#include <cstdlib>
#include <tuple>

namespace tarvolin {
namespace {

using testing::XvfbDesktop;

// Makes the server's only output a primary monitor at `m`. Xvfb drops a monitor that has no
// output; xcb's SetMonitor wrapper trips an assertion inside libxcb here, so the request is
// put together by hand.
bool setPrimaryMonitor(xcb_connection_t* c, xcb_window_t root, Rect m) {
    auto version = xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 5), nullptr);
    bool ok = version && (version->major_version > 1 || version->minor_version >= 5);
    std::free(version);
    auto res = xcb_randr_get_screen_resources_reply(c, xcb_randr_get_screen_resources(c, root), nullptr);
    ok = ok && res && xcb_randr_get_screen_resources_outputs_length(res) > 0;
    struct {
        xcb_randr_monitor_info_t info;
        xcb_randr_output_t output;
    } monitor{};
    if (ok) monitor.output = xcb_randr_get_screen_resources_outputs(res)[0];
    std::free(res);
    auto name = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, 4, "TEST"), nullptr);
    if (!ok || !name) return std::free(name), false;
    monitor.info = {name->atom,
                    1,
                    0,
                    1,
                    static_cast<std::int16_t>(m.x),
                    static_cast<std::int16_t>(m.y),
                    static_cast<std::uint16_t>(m.width),
                    static_cast<std::uint16_t>(m.height),
                    200,
                    150};
    std::free(name);
    struct {
        std::uint8_t major = 0, minor = XCB_RANDR_SET_MONITOR;
        std::uint16_t length = 0;
        xcb_window_t window;
    } header{.window = root};
    iovec parts[4];
    parts[2] = {&header, sizeof header};
    parts[3] = {&monitor, sizeof monitor};
    xcb_protocol_request_t request{2, &xcb_randr_id, XCB_RANDR_SET_MONITOR, 1};
    xcb_void_cookie_t cookie{xcb_send_request(c, XCB_REQUEST_CHECKED, parts + 2, &request)};
    xcb_generic_error_t* error = xcb_request_check(c, cookie);
    std::free(error);
    return !error;
}

TEST(X11Geometry, ABorderedWindowKeepsItsSizeWhenItIsWrittenBack) {
    std::string error;
    auto session = XvfbDesktop::start({.windowManager = false, .sessionBus = false}, error);
    ASSERT_TRUE(session) << error;
    LocalNotificationCenter center;
    auto desktop = X11Desktop::connect(session->display().c_str(), center, error);
    ASSERT_TRUE(desktop) << error;
    // Seen before the window exists: its arrival has to come from the root's events.
    ASSERT_TRUE(desktop->windows().copyWindowInfo(kCGWindowListExcludeDesktopElements, 0)->empty());
    auto client = testing::startClient(*session, {{"--geometry", "200x100+250+130", "--border", "3"}}, error);
    ASSERT_TRUE(client) << error;

    auto list = desktop->windows().copyWindowInfo(kCGWindowListExcludeDesktopElements, 0);
    ASSERT_TRUE(list && list->size() == 1u);
    ASSERT_TRUE((*list)[0].bounds);
    const WindowBounds& b = *(*list)[0].bounds;
    EXPECT_EQ(std::tie(b.x, b.y, b.width),
              std::tuple(WindowNumberValue(std::int64_t{250}), WindowNumberValue(std::int64_t{130}),
                         WindowNumberValue(std::int64_t{206})));

    AXElement app = desktop->accessibility().createApplication(client->pid());
    auto windows = ax::copyAttributeValues(app, "AXWindows", 0, 10);
    ASSERT_TRUE(windows.value && windows.value->size() == 1u);
    const AXElement window = *(*windows.value)[0].asElement();
    EXPECT_EQ(ax::copyAttributeValue(window, "AXPosition").value, Value(AXValue::point({250, 130})));
    const auto size = ax::copyAttributeValue(window, "AXSize").value;
    ASSERT_TRUE(size);
    for (int k = 0; k < 2; ++k) ASSERT_EQ(ax::setAttributeValue(window, "AXSize", *size), AXError::success);
    ASSERT_EQ(ax::setAttributeValue(window, "AXPosition", Value(AXValue::point({10, 20}))), AXError::success);
    // Our requests are done once the next question's sync returns: no window manager to wait for.
    EXPECT_EQ(ax::copyAttributeValue(window, "AXPosition").value, Value(AXValue::point({10, 20})));
    EXPECT_EQ(ax::copyAttributeValue(window, "AXSize").value, size) << "read and written back twice";
    EXPECT_EQ(desktop->unexpectedErrors(), 0u) << desktop->lastUnexpectedError();
    EXPECT_TRUE(testing::stopClient(*session, *client));
}

TEST(X11Geometry, PositionsMeasureFromThePrimaryMonitor) {
    std::string error;
    auto session = XvfbDesktop::start({.windowManager = false, .sessionBus = false}, error);
    ASSERT_TRUE(session) << error;
    LocalNotificationCenter center;
    auto desktop = X11Desktop::connect(session->display().c_str(), center, error);
    ASSERT_TRUE(desktop) << error;
    auto client = testing::startClient(*session, {{"--geometry", "200x100+250+130"}}, error);
    ASSERT_TRUE(client) << error;
    ASSERT_EQ(desktop->windows().copyWindowInfo(kCGWindowListExcludeDesktopElements, 0)->size(), 1u);
    // Set after the first sync: a monitor change has to reach the mirror as well.
    ASSERT_TRUE(setPrimaryMonitor(session->x().xcb(), session->x().root(), Rect{100, 50, 800, 600}));

    auto list = desktop->windows().copyWindowInfo(kCGWindowListExcludeDesktopElements, 0);
    ASSERT_TRUE(list && list->size() == 1u && (*list)[0].bounds);
    const WindowBounds& b = *(*list)[0].bounds;
    EXPECT_EQ(std::tie(b.x, b.y),
              std::tuple(WindowNumberValue(std::int64_t{150}), WindowNumberValue(std::int64_t{80})));
    EXPECT_EQ(desktop->screens().screenFrames(), (std::vector{Rect{0, 0, 800, 600}}));

    AXElement app = desktop->accessibility().createApplication(client->pid());
    auto windows = ax::copyAttributeValues(app, "AXWindows", 0, 10);
    ASSERT_TRUE(windows.value && windows.value->size() == 1u);
    const AXElement window = *(*windows.value)[0].asElement();
    EXPECT_EQ(ax::copyAttributeValue(window, "AXPosition").value, Value(AXValue::point({150, 80})));
    ASSERT_EQ(ax::setAttributeValue(window, "AXPosition", Value(AXValue::point({10, 20}))), AXError::success);
    ax::copyAttributeValue(window, "AXPosition");  // its sync: the move is done
    xcb_connection_t* x = session->x().xcb();
    auto geometry = xcb_get_geometry_reply(x, xcb_get_geometry(x, client->windows[0]), nullptr);
    ASSERT_TRUE(geometry);
    EXPECT_EQ(std::tie(geometry->x, geometry->y), std::tuple(std::int16_t{110}, std::int16_t{70}));
    std::free(geometry);
    EXPECT_TRUE(testing::stopClient(*session, *client));
}

}  // namespace
}  // namespace tarvolin
