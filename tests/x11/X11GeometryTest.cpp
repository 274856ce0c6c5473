// Geometry on a desktop without a window manager (frames are the windows): a bordered
// window's size survives a read and write-back, positions measure from the primary monitor,
// and the list and its order are the root's.
#include "XTestSupport.h"
#include "platform/LocalNotificationCenter.h"
#include "platform/linux/x11/X11Desktop.h"

#include <gtest/gtest.h>
#include <sys/uio.h>
#include <xcb/randr.h>
#include <xcb/xcbext.h>

#include <cstdlib>
#include <memory>
#include <optional>

namespace tarvolin {
namespace {

using testing::XvfbDesktop;

// Makes the server's only output a primary monitor at x, y. Xvfb drops a monitor that has no
// output; xcb's SetMonitor wrapper trips an assertion inside libxcb here, so the request is
// put together by hand.
bool setPrimaryMonitor(xcb_connection_t* c, xcb_window_t root, std::int16_t x, std::int16_t y,
                       std::uint16_t w, std::uint16_t h) {
    std::free(xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 5), nullptr));
    auto res = xcb_randr_get_screen_resources_reply(c, xcb_randr_get_screen_resources(c, root), nullptr);
    auto name = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, 4, "TEST"), nullptr);
    struct {
        xcb_randr_monitor_info_t info;
        xcb_randr_output_t output;
    } monitor{};
    const bool ok = res && name && xcb_randr_get_screen_resources_outputs_length(res) > 0;
    if (ok)
        monitor = {{name->atom, 1, 0, 1, x, y, w, h, 200, 150},
                   xcb_randr_get_screen_resources_outputs(res)[0]};
    std::free(res);
    std::free(name);
    if (!ok) return false;
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

class X11Geometry : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        session_ = XvfbDesktop::start({.windowManager = false, .sessionBus = false}, error);
        ASSERT_TRUE(session_) << error;
        desktop_ = X11Desktop::connect(session_->display().c_str(), center_, error);
        ASSERT_TRUE(desktop_) << error;
    }

    // One client's windows; then the element of the one window.
    void startWindows(const std::vector<std::vector<std::string>>& windows) {
        std::string error;
        auto client = testing::startClient(*session_, windows, error);
        ASSERT_TRUE(client) << error;
        client_ = std::move(*client);
    }
    std::vector<std::int64_t> frontFirst() {
        std::vector<std::int64_t> ids;
        auto list = desktop_->windows().copyWindowInfo(kCGWindowListExcludeDesktopElements, 0);
        for (const auto& d : list.value_or(std::vector<WindowDescription>{}))
            ids.push_back(std::get<std::int64_t>(d.number.value_or(0)));
        return ids;
    }
    AXElement element() {
        AXElement app = desktop_->accessibility().createApplication(client_->pid());
        auto windows = ax::copyAttributeValues(app, "AXWindows", 0, 10);
        return windows.value && windows.value->size() == 1u ? *(*windows.value)[0].asElement() : AXElement{};
    }
    void TearDown() override {
        if (client_) {
            EXPECT_TRUE(headless::stopSampleClient(*session_, *client_));
        }
        if (desktop_) {
            EXPECT_EQ(desktop_->unexpectedErrors(), 0u) << desktop_->lastUnexpectedError();
        }
    }

    std::unique_ptr<XvfbDesktop> session_;
    LocalNotificationCenter center_;
    std::unique_ptr<X11Desktop> desktop_;
    std::optional<testing::TestClient> client_;
};

TEST_F(X11Geometry, ABorderedWindowKeepsItsSizeWhenItIsWrittenBack) {
    // Seen before the window exists: its arrival has to come from the root's events.
    ASSERT_TRUE(desktop_->windows().copyWindowInfo(kCGWindowListExcludeDesktopElements, 0)->empty());
    startWindows({{"--geometry", "200x100+250+130", "--border", "3"}});
    const AXElement window = element();
    EXPECT_EQ(ax::copyAttributeValue(window, "AXPosition").value, Value(AXValue::point({250, 130})));
    const auto size = ax::copyAttributeValue(window, "AXSize").value;
    ASSERT_EQ(size, Value(AXValue::size({206, 106})));
    for (int k = 0; k < 2; ++k) ASSERT_EQ(ax::setAttributeValue(window, "AXSize", *size), AXError::success);
    ASSERT_EQ(ax::setAttributeValue(window, "AXPosition", Value(AXValue::point({10, 20}))), AXError::success);
    // Our requests are done once the next question's sync returns: no window manager to wait for.
    EXPECT_EQ(ax::copyAttributeValue(window, "AXPosition").value, Value(AXValue::point({10, 20})));
    EXPECT_EQ(ax::copyAttributeValue(window, "AXSize").value, size) << "read and written back twice";
}

TEST_F(X11Geometry, PositionsMeasureFromThePrimaryMonitor) {
    startWindows({{"--geometry", "200x100+250+130"}});
    ASSERT_EQ(ax::copyAttributeValue(element(), "AXPosition").value, Value(AXValue::point({250, 130})));
    // Set after the first sync: a monitor change has to reach the mirror as well.
    ASSERT_TRUE(setPrimaryMonitor(session_->x().xcb(), session_->x().root(), 100, 50, 800, 600));

    EXPECT_EQ(desktop_->screens().screenFrames(), (std::vector{Rect{0, 0, 800, 600}}));
    EXPECT_EQ(ax::copyAttributeValue(element(), "AXPosition").value, Value(AXValue::point({150, 80})));
}

// A window manager may nest a client more than one level below its frame; its list may lie.
TEST_F(X11Geometry, ClientsStandWhereTheirFramesDoHoweverDeepTheyAreNested) {
    xcb_connection_t* x = session_->x().xcb();
    const xcb_window_t root = session_->x().root();
    auto mapped = [&](xcb_window_t parent) {
        const xcb_window_t w = xcb_generate_id(x);
        xcb_create_window(x, XCB_COPY_FROM_PARENT, w, parent, 0, 0, 50, 50, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                          XCB_COPY_FROM_PARENT, 0, nullptr);
        xcb_map_window(x, w);
        return w;
    };
    const xcb_window_t older = mapped(root), wrapper = mapped(older), inOlder = mapped(wrapper);
    const xcb_window_t newer = mapped(root), inNewer = mapped(mapped(newer));
    const xcb_window_t claimed[] = {inNewer, inOlder};  // bottom to top
    const xcb_atom_t supported = session_->x().atom("_NET_CLIENT_LIST_STACKING");
    xcb_change_property(x, XCB_PROP_MODE_REPLACE, root, supported, XCB_ATOM_WINDOW, 32, 2, claimed);
    xcb_change_property(x, XCB_PROP_MODE_REPLACE, root, session_->x().atom("_NET_SUPPORTED"), XCB_ATOM_ATOM,
                        32, 1, &supported);
    session_->x().sync();
    EXPECT_EQ(frontFirst(), (std::vector<std::int64_t>{inNewer, inOlder}));
    // Moved into the same frame, they keep the list's order.
    xcb_reparent_window(x, wrapper, newer, 0, 0);
    session_->x().sync();
    EXPECT_EQ(frontFirst(), (std::vector<std::int64_t>{inOlder, inNewer}));
    const std::uint64_t trips = desktop_->roundTrips();
    frontFirst();
    EXPECT_EQ(desktop_->roundTrips() - trips, 1u) << "an unchanged desktop costs one round trip";
}

}  // namespace
}  // namespace tarvolin
