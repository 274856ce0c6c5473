// Geometry of a window with an X border, on a desktop without a window manager (frames are the
// windows): its size survives a read and write-back.
#include "XTestSupport.h"
#include "platform/LocalNotificationCenter.h"
#include "platform/linux/x11/X11Desktop.h"

#include <gtest/gtest.h>

#include <tuple>

namespace tarvolin {
namespace {

using testing::XvfbDesktop;

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

}  // namespace
}  // namespace tarvolin
