#include "AgentFixture.h"

#include <cmath>
#include <limits>

namespace tarvolin::testing {
namespace {

class WindowScanTest : public AgentTest {
protected:
    void SetUp() override {
        desktop.addApplication(10, "Editor",
                               Image(Size{64, 64}, 64, 64, std::vector<std::uint32_t>(64 * 64, 0x80402010)));
        desktop.addApplication(20, "Terminal");
        launch();
    }
};

TEST_F(WindowScanTest, KeepsOnlyLayerZeroFullyOpaqueWindowsInListOrder) {
    struct Case {
        std::optional<WindowNumberValue> layer, alpha;
        bool kept;
    };
    // clang-format off
    const Case cases[] = {
        {std::int64_t{0}, 1.0, true}, {std::int64_t{3}, 1.0, false}, {std::int64_t{0}, 0.99, false},
        {std::nullopt, 1.0, true},    {0.7, 1.0, true},              {std::int64_t{0}, std::nan(""), false},
        {std::int64_t{0}, std::int64_t{1}, true},
    };
    // clang-format on
    std::vector<std::int64_t> expected;
    std::int64_t number = 0;
    for (const auto& c : cases) {
        auto& w = addWindow(10, ++number);
        w.description.layer = c.layer;
        w.description.alpha = c.alpha;
        if (c.kept) expected.push_back(number);
    }
    agent->resetWindowInfo();
    EXPECT_EQ(inventoryIds(), expected);
}

TEST_F(WindowScanTest, NewWindowsGetTitleBoundsElementSnapshotAndLogLine) {
    constexpr auto max = std::numeric_limits<std::int64_t>::max();
    constexpr auto min = std::numeric_limits<std::int64_t>::min();
    struct Case {
        std::optional<std::string> title;
        std::optional<WindowBounds> bounds;
        std::string winName;  // an absent or empty title falls back to the application name
        std::int64_t x, y, width, height;
    };
    const Case cases[] = {
        {"Notes.txt", WindowBounds{10.7, -5.5, 800.9, 600.2}, "Notes.txt", 10, -5, 800, 600},
        {std::nullopt, WindowBounds{std::nan(""), -0.9, std::int64_t{7}, std::nullopt}, "Editor", 0, 0, 7, 0},
        {"t",
         WindowBounds{9223372036854775807.0, -9223372036854775808.0, std::int64_t{min}, std::int64_t{max}},
         "t", max, min, min, max},
        {"", std::nullopt, "Editor", 0, 0, 0, 0},
    };
    std::int64_t number = 0;
    for (const auto& c : cases) addWindow(10, ++number, c.title).description.bounds = c.bounds;
    addWindow(20, ++number);
    agent->resetWindowInfo();
    number = 0;
    for (const auto& c : cases) {
        auto r = record(++number);
        EXPECT_EQ(r->winName(), c.winName);
        EXPECT_EQ(r->originalWinName(), c.title);
        EXPECT_EQ(std::vector<std::int64_t>({r->x(), r->y(), r->width(), r->height()}),
                  std::vector<std::int64_t>({c.x, c.y, c.width, c.height}))
            << number;
        EXPECT_EQ(r->uiEleChildren()->size(), 1u);  // its close button
    }
    // The application's icon scaled to 32 points with its alpha, or a blank one.
    EXPECT_EQ(record(1)->icon().size(), (Size{32, 32}));
    ASSERT_EQ(record(1)->icon().pixelWidth(), 32);
    EXPECT_EQ(record(1)->icon().pixel(31, 31), 0x80402010u);
    ASSERT_EQ(record(5)->icon().pixelWidth(), 32);
    EXPECT_EQ(record(5)->icon().pixel(5, 5), 0u);
    EXPECT_EQ(record(1)->uiEleAttributes()->at("AXTitle"), Value("Notes.txt"));
    EXPECT_THAT(desktop.logTexts(), ElementsAre("1 : 10", "2 : 10", "3 : 10", "4 : 10", "5 : 20"));
}

// Also when its process has gone; a new window of a gone process is left out.
TEST_F(WindowScanTest, WindowAlreadyInTheInventoryCarriesItsFactsOver) {
    addWindow(10, 7);
    addWindow(20, 1);
    agent->resetWindowInfo();
    const auto first = record(7);
    auto& w = *desktop.window(7);
    w.description.name = "Renamed";
    w.description.bounds = WindowBounds{1.0, 2.0, 3.0, 4.0};
    desktop.addApplication(10, "Imposter");  // not consulted for a carried-over window
    desktop.removeApplication(20);
    addWindow(20, 2);
    addWindow(99, 3);  // no such application ever
    desktop.resetCounters();
    agent->resetWindowInfo();
    const auto second = record(7);

    EXPECT_EQ(inventoryIds(), (std::vector<std::int64_t>{7, 1}));
    EXPECT_EQ(record(1)->appName(), "Terminal");
    EXPECT_EQ(agent->sameWindowInfoAsLastByPid(10, 7), second);
    EXPECT_EQ(agent->sameWindowInfoAsLastByPid(20, 7), nullptr);
    EXPECT_TRUE(second->icon().sameObject(first->icon()));
    EXPECT_EQ(second->appName(), "Editor");
    EXPECT_EQ(second->uiEle(), first->uiEle());
    EXPECT_EQ(second->winName(), "Renamed");
    EXPECT_EQ(second->x() + second->y() + second->width() + second->height(), 10);
    EXPECT_FALSE(second->uiEleChildren().has_value());
    EXPECT_THAT(desktop.logTexts(), ElementsAre("7 : 10", "1 : 20")) << "logged when new only";
    EXPECT_EQ(desktop.counters().accessibilityRequests(), 0);
}

TEST_F(WindowScanTest, EmptyOrAbsentWindowListEmptiesBothListsAndAssignsNoLabels) {
    addWindow(10, 1);
    addWindow(20, 2);
    agent->resetWindowInfo();
    desktop.removeWindow(1);
    desktop.removeWindow(2);
    for (bool available : {true, false}) {
        desktop.setWindowListAvailable(available);
        agent->resetWindowInfo();
        EXPECT_EQ(agent->windowInfoArray(), WindowInfoList{});
        EXPECT_EQ(agent->lastAllWindowInfoArray(), WindowInfoList{});
        EXPECT_EQ(agent->allShowingWinKey(), std::vector<std::string>{});
    }
}

// Each record holds the one handle of its element, found by the low 32 bits of the window number;
// the lookup's list and application element are gone, and the element goes with its window.
TEST_F(WindowScanTest, ElementLookupAndLifetime) {
    const std::int64_t wide = (std::int64_t{1} << 32) + 42;
    addWindow(10, wide);
    addWindow(10, 3, std::nullopt, true, false);  // without an element: kept with an empty snapshot
    addWindow(10, 1);
    agent->resetWindowInfo();
    EXPECT_EQ(ax::getWindow(record(wide)->uiEle()).value, 42u);
    EXPECT_THAT(desktop.logTexts(), ElementsAre("4294967338 : 10", "3 : 10", "1 : 10"));
    EXPECT_FALSE(record(3)->uiEle());
    EXPECT_TRUE(record(3)->uiEleAttributes()->empty());
    EXPECT_FALSE(record(3)->uiEleChildren().has_value());
    auto element = desktop.window(1)->element;
    EXPECT_EQ(element->liveHandles, 1);
    EXPECT_EQ(desktop.applicationElement(10)->liveHandles, 0);
    desktop.removeWindow(1);
    agent->resetWindowInfo();
    EXPECT_EQ(element->liveHandles, 0);
    EXPECT_EQ(desktop.window(wide)->element->liveHandles, 1);
}

}  // namespace
}  // namespace tarvolin::testing
