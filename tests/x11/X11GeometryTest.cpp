// Positions measured from the primary monitor's top-left corner, and sizes that survive a
// read and write-back, on a desktop without a window manager (frames are the windows).
#include "XFixture.h"
#include "platform/LocalNotificationCenter.h"
#include "platform/linux/x11/X11Desktop.h"

#include <gtest/gtest.h>
#include <xcb/randr.h>


namespace tarvolin {
namespace {

using testing::XSession;

TEST(X11Geometry, PositionsFromThePrimaryMonitorAndSizesThatStay) {
    std::string error;
    auto session = XSession::start(error, /*windowManager=*/false);
    ASSERT_TRUE(session) << error;
    xcb_connection_t* x = session->xcb();
    // A primary monitor away from the root's origin.
    xcb_randr_monitor_info_t monitor{};
    monitor.name = session->atom("side");
    monitor.primary = 1;
    monitor.x = 200, monitor.y = 100, monitor.width = 640, monitor.height = 480;
    ASSERT_FALSE(xcb_request_check(x, xcb_randr_set_monitor_checked(x, session->root(), &monitor)));

    LocalNotificationCenter center;
    auto desktop = X11Desktop::connect(session->display().c_str(), center, error);
    ASSERT_TRUE(desktop) << error;
    auto client = session->startClient({"--window", "--geometry", "200x100+250+130", "--border", "3"}, error);
    ASSERT_TRUE(client) << error;

    EXPECT_EQ(desktop->screens().screenFrames().front(), (Rect{0, 0, 640, 480}));
    auto list = desktop->windows().copyWindowInfo(kCGWindowListExcludeDesktopElements, 0);
    ASSERT_TRUE(list && list->size() == 1u);
    ASSERT_TRUE((*list)[0].bounds);
    EXPECT_EQ((*list)[0].bounds->x, WindowNumberValue(std::int64_t{50}));
    EXPECT_EQ((*list)[0].bounds->y, WindowNumberValue(std::int64_t{30}));
    EXPECT_EQ((*list)[0].bounds->width, WindowNumberValue(std::int64_t{206})) << "the border on both sides";

    AXElement app = desktop->accessibility().createApplication(client->pid());
    auto windows = ax::copyAttributeValues(app, "AXWindows", 0, 10);
    ASSERT_TRUE(windows.value && windows.value->size() == 1u);
    const AXElement window = *(*windows.value)[0].asElement();
    EXPECT_EQ(ax::copyAttributeValue(window, "AXPosition").value, Value(AXValue::point({50, 30})));
    const auto size = ax::copyAttributeValue(window, "AXSize").value;
    ASSERT_TRUE(size);
    for (int k = 0; k < 2; ++k) ASSERT_EQ(ax::setAttributeValue(window, "AXSize", *size), AXError::success);
    ASSERT_EQ(ax::setAttributeValue(window, "AXPosition", Value(AXValue::point({10, 20}))), AXError::success);
    ASSERT_TRUE(session->waitFor([&] {
        auto* g = xcb_get_geometry_reply(x, xcb_get_geometry(x, client->windows[0]), nullptr);
        const bool there = g && g->x == 210 && g->y == 120;
        std::free(g);
        return there;
    }));
    EXPECT_EQ(ax::copyAttributeValue(window, "AXSize").value, size) << "read and written back twice";
    EXPECT_EQ(desktop->unexpectedErrors(), 0u) << desktop->lastUnexpectedError();
    EXPECT_TRUE(session->stopClient(*client));
}

}  // namespace
}  // namespace tarvolin
