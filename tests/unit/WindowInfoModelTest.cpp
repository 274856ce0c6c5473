#include "inventory/WindowInfoModel.h"

#include "platform/sim/SimDesktop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>

namespace tarvolin {
namespace {

WindowInfoModel withId(std::int64_t id) {
    WindowInfoModel m;
    m.setWinId(id);
    return m;
}

TEST(WindowInfoModel, CompareWinIdOrdersBySignedWindowNumber) {
    struct Case {
        std::int64_t a, b, expected;
    };
    const Case cases[] = {
        {5, 7, -1},
        {7, 5, 1},
        {5, 5, 0},
        {-3, 0, -1},
        {0, -3, 1},
        {INT64_MIN, INT64_MAX, -1},
        {INT64_MAX, INT64_MIN, 1},
        {-1, 4294967295LL, -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(withId(c.a).compareWinId(withId(c.b)), c.expected) << c.a << " vs " << c.b;
    auto self = withId(9);
    EXPECT_EQ(self.compareWinId(self), 0);
}

TEST(WindowInfoModel, SortingByWindowNumberPutsNegativeNumbersFirst) {
    std::vector<std::int64_t> ids = {30, -2, 12, 0, 25, -40};
    std::vector<WindowInfoModel> records;
    for (auto id : ids) records.push_back(withId(id));
    std::sort(records.begin(), records.end(),
              [](const WindowInfoModel& a, const WindowInfoModel& b) { return a.compareWinId(b) < 0; });
    std::vector<std::int64_t> sorted;
    for (const auto& r : records) sorted.push_back(r.winId());
    EXPECT_EQ(sorted, (std::vector<std::int64_t>{-40, -2, 0, 12, 25, 30}));
}

TEST(WindowInfoModel, FreshRecordHasEmptyReferencesAndZeroNumbers) {
    WindowInfoModel m;
    EXPECT_FALSE(m.key().has_value());
    EXPECT_FALSE(m.originalWinName().has_value());
    EXPECT_FALSE(m.appName().has_value());
    EXPECT_FALSE(m.icon());
    EXPECT_FALSE(m.uiEle());
    EXPECT_EQ(m.uiEleAttributes(), nullptr);
    EXPECT_FALSE(m.uiEleChildren().has_value());
    EXPECT_EQ(m.winId(), 0);
    EXPECT_EQ(m.pid(), 0);
    EXPECT_EQ(m.x() + m.y() + m.width() + m.height(), 0);
}

TEST(WindowInfoModel, RecordSharesItsElementWithoutOwningItAlone) {
    sim::SimDesktop desktop;
    auto element = desktop.makeElement(1, "test");
    AXElement handle = desktop.handle(element);
    {
        auto record = std::make_shared<WindowInfoModel>();
        record->setUiEle(handle);
        EXPECT_EQ(record->uiEle(), handle);
        EXPECT_EQ(element->liveHandles, 1);  // one handle, shared
    }
    // Destroying the record leaves the caller's element untouched.
    EXPECT_EQ(handle.useCount(), 1);
    EXPECT_EQ(element->liveHandles, 1);
    handle = AXElement();
    EXPECT_EQ(element->liveHandles, 0);
}

}  // namespace
}  // namespace tarvolin
