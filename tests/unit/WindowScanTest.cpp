#include "AgentFixture.h"

#include "inventory/WindowScan.h"

#include <gmock/gmock.h>

#include <cmath>
#include <limits>

namespace tarvolin::testing {
namespace {

using ::testing::ElementsAre;

class WindowScanTest : public AgentTest {
protected:
    void SetUp() override {
        desktop.addApplication(10, "Editor", solidIcon(64, 0x80402010));
        desktop.addApplication(20, "Terminal");
        launch();
    }

    static Image solidIcon(int side, std::uint32_t argb) {
        return Image(Size{double(side), double(side)}, side, side,
                     std::vector<std::uint32_t>(size_t(side * side), argb));
    }

    sim::SimWindow& window(std::int64_t number, std::int32_t pid = 10,
                           std::optional<std::string> title = "Doc") {
        sim::WindowSpec spec;
        spec.pid = pid;
        spec.number = number;
        spec.title = std::move(title);
        return desktop.addWindow(spec);
    }

    std::vector<std::int64_t> inventoryIds() {
        std::vector<std::int64_t> ids;
        for (const auto& r : *agent->windowInfoArray()) ids.push_back(r->winId());
        return ids;
    }

    WindowInfoRef record(std::int64_t winId) {
        for (const auto& r : *agent->windowInfoArray())
            if (r->winId() == winId) return r;
        return nullptr;
    }
};

TEST_F(WindowScanTest, KeepsOnlyLayerZeroFullyOpaqueWindowsInListOrder) {
    struct Case {
        std::int64_t number;
        std::optional<WindowNumberValue> layer, alpha;
        bool kept;
    };
    const Case cases[] = {
        {1, std::int64_t{0}, 1.0, true},
        {2, std::int64_t{25}, 1.0, false},
        {3, std::int64_t{3}, 1.0, false},
        {4, std::int64_t{-1}, 1.0, false},
        {5, std::int64_t{0}, 0.99, false},
        {6, std::int64_t{0}, 0.5, false},
        {7, std::int64_t{0}, 0.0, false},
        {8, std::int64_t{0}, std::nullopt, false},
        {9, std::nullopt, 1.0, true},
        {10, std::int64_t{0}, std::int64_t{1}, true},
        {11, 0.7, 1.0, true},
        {12, std::int64_t{0}, std::nan(""), false},
    };
    std::vector<std::int64_t> expected;
    for (const auto& c : cases) {
        auto& w = window(c.number);
        w.description.layer = c.layer;
        w.description.alpha = c.alpha;
        if (c.kept) expected.push_back(c.number);
    }
    agent->resetWindowInfo();
    EXPECT_EQ(inventoryIds(), expected);
}

TEST_F(WindowScanTest, TitleAbsentOrEmptyFallsBackToTheApplicationName) {
    window(1, 10, std::nullopt);
    window(2, 10, "");
    window(3, 10, "Notes.txt");
    agent->resetWindowInfo();
    EXPECT_EQ(record(1)->winName(), "Editor");
    EXPECT_FALSE(record(1)->originalWinName().has_value());
    EXPECT_EQ(record(2)->winName(), "Editor");
    EXPECT_EQ(record(2)->originalWinName(), "");
    EXPECT_EQ(record(3)->winName(), "Notes.txt");
    EXPECT_EQ(record(3)->originalWinName(), "Notes.txt");
    EXPECT_EQ(record(3)->appName(), "Editor");
    EXPECT_EQ(record(3)->pid(), 10);
    EXPECT_EQ(record(3)->key(), "");
}

TEST_F(WindowScanTest, NumbersAreTruncatedWithDefinedResultsOutsideTheRange) {
    constexpr auto max = std::numeric_limits<std::int64_t>::max();
    constexpr auto min = std::numeric_limits<std::int64_t>::min();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        WindowBounds bounds;
        std::int64_t x, y, width, height;
    };
    const Case cases[] = {
        {{10.7, -5.5, 800.9, 600.2}, 10, -5, 800, 600},
        {{std::nan(""), -0.9, std::int64_t{7}, std::nullopt}, 0, 0, 7, 0},
        {{inf, -inf, 1e30, -1e30}, max, min, max, min},
        {{9223372036854775807.0, -9223372036854775808.0, std::int64_t{min}, std::int64_t{max}},
         max,
         min,
         min,
         max},
    };
    std::int64_t number = 1;
    for (const auto& c : cases) window(number++).description.bounds = c.bounds;
    window(number).description.bounds.reset();
    agent->resetWindowInfo();
    number = 1;
    for (const auto& c : cases) {
        auto r = record(number++);
        EXPECT_EQ(r->x(), c.x);
        EXPECT_EQ(r->y(), c.y);
        EXPECT_EQ(r->width(), c.width);
        EXPECT_EQ(r->height(), c.height);
    }
    auto r = record(number);
    EXPECT_EQ(r->x() | r->y() | r->width() | r->height(), 0);
}

TEST_F(WindowScanTest, WindowAlreadyInTheInventoryCarriesItsFactsOver) {
    window(7);
    agent->resetWindowInfo();
    const auto first = record(7);
    ASSERT_TRUE(first->uiEle());
    ASSERT_TRUE(first->uiEleChildren().has_value());
    EXPECT_EQ(first->uiEleChildren()->size(), 1u);  // its close button

    auto& w = *desktop.window(7);
    w.description.name = "Renamed";
    w.description.bounds = WindowBounds{1.0, 2.0, 3.0, 4.0};
    desktop.addApplication(10, "Imposter");  // not consulted for a carried-over window
    agent->resetWindowInfo();
    const auto second = record(7);

    EXPECT_NE(second, first);
    EXPECT_TRUE(second->icon().sameObject(first->icon()));
    EXPECT_EQ(second->appName(), "Editor");
    EXPECT_EQ(second->uiEle(), first->uiEle());
    EXPECT_EQ(second->uiEleAttributes(), first->uiEleAttributes());
    EXPECT_EQ(second->winName(), "Renamed");
    EXPECT_EQ(second->x() + second->y() + second->width() + second->height(), 10);
    EXPECT_FALSE(second->uiEleChildren().has_value());
    EXPECT_EQ(second->key(), "");
}

TEST_F(WindowScanTest, WindowOfAGoneProcessIsLeftOutWhenNewAndKeptWhenCarriedOver) {
    window(1, 20);
    agent->resetWindowInfo();
    desktop.removeApplication(20);
    window(2, 20);
    window(3, 99);  // no such application ever
    agent->resetWindowInfo();
    EXPECT_EQ(inventoryIds(), std::vector<std::int64_t>{1});
    EXPECT_EQ(record(1)->appName(), "Terminal");
}

TEST_F(WindowScanTest, FirstOfTwoEarlierRecordsWithTheSameIdentityIsCarriedOver) {
    window(5);
    auto a = std::make_shared<WindowInfoModel>();
    a->setPid(10);
    a->setWinId(5);
    a->setAppName("First");
    auto b = std::make_shared<WindowInfoModel>(*a);
    b->setAppName("Second");
    agent->setWindowInfoArray(WindowInfoList{a, b});
    agent->resetWindowInfo();
    EXPECT_EQ(record(5)->appName(), "First");
    EXPECT_EQ(agent->sameWindowInfoAsLastByPid(10, 5)->appName(), "First");
    EXPECT_EQ(agent->sameWindowInfoAsLastByPid(10, 6), nullptr);
}

TEST_F(WindowScanTest, EmptyOrAbsentWindowListEmptiesBothListsAndAssignsNoLabels) {
    for (bool available : {true, false}) {
        desktop.setWindowListAvailable(available);
        agent->resetWindowInfo();
        ASSERT_TRUE(agent->windowInfoArray().has_value());
        EXPECT_TRUE(agent->windowInfoArray()->empty());
        ASSERT_TRUE(agent->lastAllWindowInfoArray().has_value());
        EXPECT_TRUE(agent->lastAllWindowInfoArray()->empty());
        ASSERT_TRUE(agent->allShowingWinKey().has_value());
        EXPECT_TRUE(agent->allShowingWinKey()->empty());
    }
}

TEST_F(WindowScanTest, BothListsHoldTheSameRecords) {
    window(1);
    window(2, 20);
    agent->resetWindowInfo();
    ASSERT_EQ(agent->lastAllWindowInfoArray()->size(), 2u);
    for (size_t i = 0; i < 2; ++i)
        EXPECT_EQ((*agent->lastAllWindowInfoArray())[i], (*agent->windowInfoArray())[i]);
}

TEST_F(WindowScanTest, ElementLookupMatchesTheLow32BitsOfTheWindowNumber) {
    const std::int64_t wide = (std::int64_t{1} << 32) + 42;
    window(wide);
    agent->resetWindowInfo();
    ASSERT_TRUE(record(wide)->uiEle());
    EXPECT_EQ(ax::getWindow(record(wide)->uiEle()).value, 42u);
    EXPECT_THAT(desktop.logTexts(), ElementsAre("4294967338 : 10"));
}

TEST_F(WindowScanTest, WindowWithoutAnElementIsKeptWithAnEmptySnapshot) {
    sim::WindowSpec spec;
    spec.pid = 10;
    spec.number = 3;
    spec.accessible = false;
    desktop.addWindow(spec);
    agent->resetWindowInfo();
    auto r = record(3);
    ASSERT_NE(r, nullptr);
    EXPECT_FALSE(r->uiEle());
    ASSERT_NE(r->uiEleAttributes(), nullptr);
    EXPECT_TRUE(r->uiEleAttributes()->empty());
    EXPECT_FALSE(r->uiEleChildren().has_value());
}

TEST_F(WindowScanTest, SnapshotAndLogLineAreTakenOnlyForNewWindows) {
    window(1);
    agent->resetWindowInfo();
    const auto& snapshot = *record(1)->uiEleAttributes();
    EXPECT_EQ(snapshot.at("AXRole"), Value("AXWindow"));
    EXPECT_EQ(snapshot.at("AXTitle"), Value("Doc"));
    window(2, 20);
    agent->resetWindowInfo();
    EXPECT_THAT(desktop.logTexts(), ElementsAre("1 : 10", "2 : 20"));
}

TEST_F(WindowScanTest, IconIsTheApplicationIconScaledTo32PointsWithItsAlpha) {
    window(1);
    window(2, 20);  // an application without an icon
    agent->resetWindowInfo();
    const Image& icon = record(1)->icon();
    EXPECT_EQ(icon.size(), (Size{32, 32}));
    ASSERT_EQ(icon.pixelWidth(), 32);
    for (auto [x, y] : {std::pair{0, 0}, {16, 16}, {31, 31}}) EXPECT_EQ(icon.pixel(x, y), 0x80402010u);
    const Image& blank = record(2)->icon();
    EXPECT_EQ(blank.pixelWidth(), 32);
    EXPECT_EQ(blank.pixel(5, 5), 0u);
}

TEST_F(WindowScanTest, ScanOfAnUnchangedDesktopAsksTheAccessibilityServiceNothing) {
    for (std::int64_t n = 1; n <= 5; ++n) window(n, n % 2 ? 10 : 20);
    agent->resetWindowInfo();
    EXPECT_GT(desktop.counters().accessibilityRequests(), 0);
    desktop.resetCounters();
    agent->resetWindowInfo();
    EXPECT_EQ(desktop.counters().accessibilityRequests(), 0);
    EXPECT_EQ(desktop.counters().runningApplicationsRequests, 1);
    EXPECT_EQ(desktop.counters().windowListRequests, 1);
}

TEST_F(WindowScanTest, ElementIsReleasedOnceItsWindowHasLeftTheInventory) {
    window(1);
    window(2);
    agent->resetWindowInfo();
    auto element = desktop.window(1)->element;
    // The record holds the one handle; the lookup's list and application element are gone.
    EXPECT_EQ(element->liveHandles, 1);
    EXPECT_EQ(desktop.applicationElement(10)->liveHandles, 0);
    EXPECT_EQ(desktop.window(2)->element->liveHandles, 1);

    desktop.removeWindow(1);
    agent->resetWindowInfo();
    EXPECT_EQ(element->liveHandles, 0);
    EXPECT_EQ(desktop.window(2)->element->liveHandles, 1);
}

TEST(ChildrenOfUIElement, GivesNoneWhenTheCountOrTheCopyFails) {
    sim::SimDesktop desktop;
    auto e = desktop.makeElement(1, "parent");
    EXPECT_FALSE(childrenOfUIElement(desktop.handle(e)).has_value());  // no AXChildren at all
    e->setAttribute("AXChildren", Value::array({Value("a"), Value("b")}));
    EXPECT_EQ(childrenOfUIElement(desktop.handle(e))->size(), 2u);
    desktop.setProcessResponsive(1, false);
    EXPECT_FALSE(childrenOfUIElement(desktop.handle(e)).has_value());
    EXPECT_FALSE(childrenOfUIElement(AXElement()).has_value());
}

}  // namespace
}  // namespace tarvolin::testing
