// The headless KWin the KDE backend's tests run on: what its own scripts report of real clients.
#include "tools/headless/HeadlessKWin.h"
#include "tools/headless/Process.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <functional>
#include <thread>

namespace tarvolin::testing {
namespace {

using headless::Process;
using namespace std::chrono_literals;
using nlohmann::json;

bool waitFor(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done())
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return true;
}

json byCaption(headless::HeadlessKWin& kwin, const std::string& caption) {
    const json all = kwin.windows();
    for (const json& w : all.is_array() ? all : json::array())
        if (w["caption"] == caption) return w;
    return json();
}

TEST(HeadlessKWin, ListsMinimisesAndActivatesWaylandAndXClients) {
    std::string error;
    auto kwin = headless::HeadlessKWin::start(error, {.desktops = 3});
    ASSERT_TRUE(kwin) << error;
    ASSERT_FALSE(kwin->xDisplay().empty());
    EXPECT_EQ(kwin->currentDesktop(), 1);
    EXPECT_TRUE(kwin->setCurrentDesktop(3));
    EXPECT_FALSE(kwin->setCurrentDesktop(4)) << "KWin has no fourth desktop to switch to";
    EXPECT_EQ(kwin->runScript("return workspace.desktops;"), 3);
    EXPECT_TRUE(kwin->setCurrentDesktop(1));

    auto wayland = Process::spawn({TARVOLIN_SAMPLE_WAYLAND, "--view", "org.tarvolin.W", "wayland view"},
                                  {kwin->clientEnvironment(), false, true});
    ASSERT_EQ(wayland->readLine(10s), "ready");
    auto x =
        Process::spawn({TARVOLIN_SAMPLE_WINDOWS, "--window", "--title", "x window", "--class", "xi:XClass"},
                       {kwin->clientEnvironment(), true, true});
    ASSERT_TRUE(x->readLine(20s).value_or("").starts_with("ready"));

    json w, xw;
    ASSERT_TRUE(waitFor([&] {
        w = byCaption(*kwin, "wayland view");
        xw = byCaption(*kwin, "x window");
        return w.is_object() && xw.is_object();
    })) << kwin->windows().dump()
        << kwin->lastError();
    EXPECT_EQ(w["pid"], wayland->pid());
    EXPECT_EQ(xw["pid"], x->pid());
    EXPECT_EQ(w["desktopFileName"], "org.tarvolin.W");
    EXPECT_EQ(xw["resourceClass"], "xclass");
    EXPECT_EQ(xw["resourceName"], "xi");
    for (const json* win : {&w, &xw}) {
        EXPECT_EQ((*win)["normalWindow"], true) << win->dump();
        EXPECT_EQ((*win)["minimized"], false) << win->dump();
        EXPECT_GT((*win)["frameGeometry"]["width"].get<int>(), 0) << win->dump();
    }

    // Minimised by a script, then raised again by activation: each seen in the next listing.
    const std::string id = w["internalId"];
    EXPECT_EQ(kwin->runScript("var cs = workspace.clientList(); for (var i = 0; i < cs.length; ++i)"
                              " if (cs[i].internalId.toString() === '" +
                              id +
                              "') cs[i].minimized = true;"
                              " return 1;"),
              1);
    EXPECT_EQ(byCaption(*kwin, "wayland view")["minimized"], true);
    ASSERT_TRUE(kwin->activate(id));
    const json after = byCaption(*kwin, "wayland view");
    EXPECT_EQ(after["minimized"], false);
    EXPECT_EQ(after["active"], true);
    EXPECT_EQ(byCaption(*kwin, "x window")["active"], false);
    EXPECT_FALSE(kwin->activate("{00000000-0000-0000-0000-000000000000}"));

    // Real keys reach the window KWin gives the focus: Ctrl+W closes the X client's window.
    ASSERT_TRUE(kwin->activate(xw["internalId"]));
    ASSERT_TRUE(waitFor([&] { return byCaption(*kwin, "x window")["active"] == true; }));
    ASSERT_TRUE(kwin->keys("+29 17 -29")) << kwin->lastError();
    EXPECT_TRUE(x->readLine(10s).value_or("").starts_with("keyclosed"));
    EXPECT_FALSE(kwin->keys("17 w")) << "a word that is no key code";

    // A script that throws gives null and says why; the harness goes on working after it.
    EXPECT_EQ(kwin->runScript("throw new Error('boom');"), json());
    EXPECT_NE(kwin->lastError().find("boom"), std::string::npos) << kwin->lastError();
    EXPECT_EQ(kwin->currentDesktop(), 1);

    kwin->stop();
    EXPECT_FALSE(kwin->running());
    EXPECT_EQ(kwin->runScript("return 1;"), json());
}

}  // namespace
}  // namespace tarvolin::testing
