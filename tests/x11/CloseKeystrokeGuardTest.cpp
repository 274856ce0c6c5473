// The close keystroke goes to the window just raised, or nowhere (the sent case is in X11DesktopTest).
#include "XTestSupport.h"
#include "platform/LocalNotificationCenter.h"
#include "platform/linux/x11/X11Desktop.h"

#include <gtest/gtest.h>

namespace tarvolin {
namespace {

using namespace std::chrono_literals;
using testing::XvfbDesktop;

constexpr const char* kKeystroke =
    R"(tell the application "System Events" to keystroke"w" using command down)";

TEST(CloseKeystrokeGuard, NoKeyWhenTheRaisedWindowIsNotTheActiveOne) {
    std::string error;
    auto session = XvfbDesktop::start({.sessionBus = false}, error);
    ASSERT_TRUE(session) << error;
    LocalNotificationCenter center;
    auto desktop = X11Desktop::connect(session->display().c_str(), center, error);
    ASSERT_TRUE(desktop) << error;
    std::vector<std::string> log;
    desktop->setLog([&](const std::string& line) { log.push_back(line); });
    auto stubborn = testing::startClient(*session, {{"--title", "S", "--unclosable"}}, error);
    ASSERT_TRUE(stubborn) << error;
    auto bystander = testing::startClient(*session, {{"--title", "B"}}, error);
    ASSERT_TRUE(bystander) << error;
    const xcb_window_t s = stubborn->windows[0], b = bystander->windows[0];

    // Raised, then overtaken by another window before the keystroke is due.
    AXElement app = desktop->accessibility().createApplication(stubborn->pid());
    auto windows = ax::copyAttributeValues(app, "AXWindows", 0, 10);
    ASSERT_TRUE(windows.value && windows.value->size() == 1u);
    ASSERT_EQ(ax::performAction(*(*windows.value)[0].asElement(), "AXRaise"), AXError::success);
    ASSERT_TRUE(testing::waitUntilActive(*session, s));
    xcb_client_message_event_t ev{};
    ev.response_type = XCB_CLIENT_MESSAGE;
    ev.format = 32;
    ev.window = b;
    ev.type = session->x().atom("_NET_ACTIVE_WINDOW");
    ev.data.data32[0] = 2;
    xcb_send_event(session->x().xcb(), 0, session->x().root(),
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&ev));
    xcb_flush(session->x().xcb());
    ASSERT_TRUE(testing::waitUntilActive(*session, b));
    EXPECT_FALSE(desktop->scripts().executeScript(kKeystroke).ok);
    EXPECT_EQ(log.size(), 1u);
    // A key would have reached the bystander before the answer to its second command.
    for (const char* title : {"one", "two"}) {
        ASSERT_TRUE(bystander->process->writeLine(std::string("title 0 ") + title));
        EXPECT_EQ(bystander->process->readLine(10s), "titled " + std::to_string(b));
    }
    EXPECT_EQ(desktop->unexpectedErrors(), 0u) << desktop->lastUnexpectedError();
    EXPECT_TRUE(testing::stopClient(*session, *bystander));
    EXPECT_TRUE(testing::stopClient(*session, *stubborn));
}

}  // namespace
}  // namespace tarvolin
