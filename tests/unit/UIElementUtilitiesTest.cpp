#include "accessibility/UIElementUtilities.h"

#include "platform/sim/SimDesktop.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace tarvolin {
namespace {

using U = UIElementUtilities;

constexpr std::int32_t kPid = 42;

AXResult<Value> answer(Value v) { return AXResult<Value>::success(std::move(v)); }

class UIElementUtilitiesTest : public ::testing::Test {
protected:
    sim::SimDesktop desktop;

    std::shared_ptr<sim::SimElement> element(std::string label = "e") {
        return desktop.makeElement(kPid, label);
    }
    AXElement handle(const std::shared_ptr<sim::SimElement>& e) { return desktop.handle(e); }
    // An element with a role and, when given, a title.
    std::shared_ptr<sim::SimElement> withRole(std::string role, std::optional<std::string> title = {}) {
        auto e = element(role);
        e->setAttribute("AXRole", Value(role));
        if (title) e->setAttribute("AXTitle", Value(*title));
        return e;
    }
    sim::SimCounters& counters() { return desktop.counters(); }
};

// ---------------------------------------------------------------- geometry values

TEST(UIElementUtilitiesGeometryText, EveryKindInBothForms) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    constexpr auto i64max = std::numeric_limits<std::int64_t>::max();
    constexpr auto i64min = std::numeric_limits<std::int64_t>::min();
    struct Case {
        AXValue value;
        const char* terse;
        const char* verbose;
    };
    const Case cases[] = {
        {AXValue::point({10, 20.5}), "x=10 y=20.5", "<AXPointValue x=10 y=20.5>"},
        {AXValue::point({1e6, 1e-5}), "x=1e+06 y=1e-05", "<AXPointValue x=1e+06 y=1e-05>"},
        {AXValue::point({-0.0, 123456789}), "x=-0 y=1.23457e+08", "<AXPointValue x=-0 y=1.23457e+08>"},
        {AXValue::point({inf, -inf}), "x=inf y=-inf", "<AXPointValue x=inf y=-inf>"},
        {AXValue::size({1440, 0.1}), "w=1440 h=0.1", "<AXSizeValue w=1440 h=0.1>"},
        {AXValue::size({1e300, 5e-324}), "w=1e+300 h=4.94066e-324", "<AXSizeValue w=1e+300 h=4.94066e-324>"},
        {AXValue::rect({0, 25, 800, 600}), "x=0 y=25 w=800 h=600", "<AXRectValue  x=0 y=25 w=800 h=600>"},
        {AXValue::rect({-1.5, 2.25, 999999, 1000000}), "x=-1.5 y=2.25 w=999999 h=1e+06",
         "<AXRectValue  x=-1.5 y=2.25 w=999999 h=1e+06>"},
        {AXValue::range({3, 0}), "pos=3 len=0", "<AXRangeValue pos=3 len=0>"},
        {AXValue::range({-5, i64max}), "pos=-5 len=9223372036854775807",
         "<AXRangeValue pos=-5 len=9223372036854775807>"},
        {AXValue::range({i64min, -1}), "pos=-9223372036854775808 len=-1",
         "<AXRangeValue pos=-9223372036854775808 len=-1>"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(U::stringDescriptionOfAXValue(c.value, false), c.terse);
        EXPECT_EQ(U::stringDescriptionOfAXValue(c.value, true), c.verbose);
    }
}

TEST(UIElementUtilitiesGeometryText, UnreadableOrUnknownKindsReadAsQuestionMarks) {
    // Error values, kind 0, unknown kinds, and a point kind that carries no payload.
    for (std::uint32_t kind : {0u, 1u, 2u, 3u, 4u, 5u, 99u}) {
        EXPECT_EQ(U::stringDescriptionOfAXValue(AXValue::opaque(kind), false), "AXValue???") << kind;
        EXPECT_EQ(U::stringDescriptionOfAXValue(AXValue::opaque(kind), true), "AXValue???") << kind;
    }
}

// ---------------------------------------------------------------- any value

TEST_F(UIElementUtilitiesTest, ValuesOtherThanElementsAreDescribedWithoutRequests) {
    struct Case {
        Value value;
        const char* terse;
        const char* verbose;
    };
    const Case cases[] = {
        {Value(AXValue::point({10, 20.5})), "x=10 y=20.5", "<AXPointValue x=10 y=20.5>"},
        {Value(AXValue::opaque(5)), "AXValue???", "AXValue???"},
        // Kind 0 is "not a geometry value", so it gets its own text rather than "AXValue???".
        {Value(AXValue::opaque(0)), "<AXValue type=0 >", "<AXValue type=0 >"},
        {Value::array({Value("a"), Value::integer(1), handle(element())}), "<array of size 3>",
         "<array of size 3>"},
        {Value::array({}), "<array of size 0>", "<array of size 0>"},
        {Value("plain text"), "plain text", "plain text"},
        {Value(""), "", ""},
        {Value::integer(-7), "-7", "-7"},
        {Value::boolean(true), "1", "1"},
        {Value(Url{"file:///tmp/x"}), "file:///tmp/x", "file:///tmp/x"},
    };
    desktop.resetCounters();
    for (const auto& c : cases) {
        EXPECT_EQ(U::descriptionOfValue(c.value, false), c.terse);
        EXPECT_EQ(U::descriptionOfValue(c.value, true), c.verbose);
    }
    EXPECT_FALSE(U::descriptionOfValue(std::nullopt, false).has_value());
    EXPECT_FALSE(U::descriptionOfValue(std::nullopt, true).has_value());
    EXPECT_EQ(counters().accessibilityRequests(), 0);
}

TEST_F(UIElementUtilitiesTest, ElementsAreDescribedByRoleAndListedTitle) {
    auto untitledFlag = element("flag");
    untitledFlag->setAttribute("AXRole", Value("AXCheckBox")).setAttribute("AXTitle", std::nullopt);
    auto numbered = element("cell");
    numbered->setAttribute("AXRole", Value("AXCell")).setAttribute("AXTitle", Value::integer(7));
    auto roleWithoutValue = element("odd");
    roleWithoutValue->setAttribute("AXRole", std::nullopt);
    // The title is read only through the name list, so an unlisted one is not found.
    auto unlistedTitle = element("hidden");
    unlistedTitle->failNames = true;
    unlistedTitle->setAttribute("AXRole", Value("AXGroup")).setAttribute("AXTitle", Value("never seen"));

    struct Case {
        std::shared_ptr<sim::SimElement> element;
        const char* text;
    };
    const Case cases[] = {
        {withRole("AXApplication", "Untitled"), "<AXApplication: \u201CUntitled\u201D>"},
        {withRole("AXApplication", ""), "<AXApplication: \u201C\u201D>"},
        {withRole("AXButton"), "<AXButton>"},
        {untitledFlag, "<AXCheckBox>"},
        {numbered, "<AXCell: \u201C7\u201D>"},
        {roleWithoutValue, "<(null)>"},
        {unlistedTitle, "<AXGroup>"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(U::descriptionOfValue(Value(handle(c.element)), false), c.text);
        EXPECT_EQ(U::descriptionOfValue(Value(handle(c.element)), true), c.text);
    }
}

TEST_F(UIElementUtilitiesTest, ElementWhoseRoleCannotBeReadGetsItsOwnStableText) {
    auto e = withRole("AXWindow", "Doc");
    desktop.setProcessResponsive(kPid, false);
    AXElement h = handle(e);
    desktop.resetCounters();
    const auto first = U::descriptionOfValue(Value(h), false);
    EXPECT_EQ(first, Value(h).description());
    EXPECT_EQ(first, "<AXUIElement AXWindow>");
    EXPECT_EQ(U::descriptionOfValue(Value(h), false), first);
    // Only the role copy was attempted each time.
    EXPECT_EQ(counters().attributeValue, 2);
    EXPECT_EQ(counters().accessibilityRequests(), 2);

    EXPECT_EQ(U::descriptionOfValue(Value(AXElement()), false), "<AXUIElement null>");
}

TEST_F(UIElementUtilitiesTest, DescribingAnElementCostsRoleNamesAndTitle) {
    AXElement h = handle(withRole("AXWindow", "Doc"));
    desktop.resetCounters();
    EXPECT_EQ(U::descriptionOfValue(Value(h), false), "<AXWindow: \u201CDoc\u201D>");
    EXPECT_EQ(counters().attributeValue, 2);
    EXPECT_EQ(counters().attributeNames, 1);
    EXPECT_EQ(counters().accessibilityRequests(), 3);
}

// ---------------------------------------------------------------- queries

TEST_F(UIElementUtilitiesTest, ValueOfAttributeAsksForTheNameListFirst) {
    auto e = withRole("AXWindow", "Doc");
    e->setAttribute("AXSubrole", std::nullopt);
    AXElement h = handle(e);

    desktop.resetCounters();
    EXPECT_EQ(U::valueOfAttribute("AXTitle", h), Value("Doc"));
    EXPECT_EQ(counters().attributeNames, 1);
    EXPECT_EQ(counters().attributeValue, 1);

    // Unlisted, or a near miss in case: only the name list is asked for.
    desktop.resetCounters();
    EXPECT_FALSE(U::valueOfAttribute("AXParent", h).has_value());
    EXPECT_FALSE(U::valueOfAttribute("axtitle", h).has_value());
    EXPECT_EQ(counters().attributeNames, 2);
    EXPECT_EQ(counters().attributeValue, 0);

    // Listed without a value, or with a value that cannot be copied.
    e->attributes.push_back(
        {"AXValue", [] { return AXResult<Value>::failed(AXError::cannotComplete); }, {}, {}});
    EXPECT_FALSE(U::valueOfAttribute("AXSubrole", h).has_value());
    EXPECT_FALSE(U::valueOfAttribute("AXValue", h).has_value());

    // No name list: nothing more is asked.
    e->failNames = true;
    desktop.resetCounters();
    EXPECT_FALSE(U::valueOfAttribute("AXTitle", h).has_value());
    EXPECT_EQ(counters().attributeValue, 0);
}

TEST_F(UIElementUtilitiesTest, IsApplicationNeedsTheApplicationRoleAsText) {
    auto numericRole = element();
    numericRole->setAttribute("AXRole", Value::integer(1));
    EXPECT_TRUE(U::isApplicationUIElement(handle(withRole("AXApplication"))));
    EXPECT_FALSE(U::isApplicationUIElement(handle(withRole("axapplication"))));
    EXPECT_FALSE(U::isApplicationUIElement(handle(element())));
    EXPECT_FALSE(U::isApplicationUIElement(handle(numericRole)));
}

TEST_F(UIElementUtilitiesTest, FailedQueriesGiveZeroFalseOrNone) {
    auto e = element();
    e->setAttribute("AXPosition", Value(AXValue::point({1, 2})), true)
        .setAttribute("AXRole", Value("AXWindow"));
    int raised = 0;
    e->addAction("AXRaise", "raise", [&] {
        ++raised;
        return AXError::success;
    });
    AXElement h = handle(e);
    EXPECT_EQ(U::processIdentifierOfUIElement(h), kPid);
    EXPECT_TRUE(U::canSetAttribute("AXPosition", h));
    EXPECT_FALSE(U::canSetAttribute("AXRole", h));
    EXPECT_EQ(U::descriptionOfAction("AXRaise", h), "raise");
    U::performAction("AXRaise", h);
    EXPECT_EQ(raised, 1);

    EXPECT_EQ(U::processIdentifierOfUIElement(AXElement()), 0);
    EXPECT_FALSE(U::canSetAttribute("AXMissing", h));
    EXPECT_FALSE(U::descriptionOfAction("AXPress", h).has_value());
    desktop.setProcessResponsive(kPid, false);
    EXPECT_FALSE(U::canSetAttribute("AXPosition", h));
    EXPECT_FALSE(U::attributeNamesOfUIElement(h).has_value());
    EXPECT_FALSE(U::actionNamesOfUIElement(h).has_value());
    EXPECT_FALSE(U::isApplicationUIElement(h));
    U::performAction("AXRaise", h);  // refused, and dropped quietly
    EXPECT_EQ(raised, 1);
}

// ---------------------------------------------------------------- one attribute

TEST_F(UIElementUtilitiesTest, ChildrenAndRowsAreCountedWithoutCopyingTheirValues) {
    auto e = element();
    int copies = 0;
    auto copied = [&copies] {
        ++copies;
        return answer(Value::array({}));
    };
    e->attributes.push_back({"AXChildren", copied, [] { return AXResult<std::int64_t>::success(5000); }, {}});
    e->attributes.push_back({"AXRows", copied, [] { return AXResult<std::int64_t>::success(0); }, {}});
    AXElement h = handle(e);

    desktop.resetCounters();
    EXPECT_EQ(U::descriptionForUIElement(h, "AXChildren", false), "<array of size 5000>");
    EXPECT_EQ(U::descriptionForUIElement(h, "AXRows", true), "<array of size 0>");
    EXPECT_EQ(copies, 0);
    EXPECT_EQ(counters().attributeValue, 0);
    EXPECT_EQ(counters().attributeValueCount, 2);
}

TEST_F(UIElementUtilitiesTest, FailedCountFallsBackToTheCopiedValue) {
    auto e = element();
    auto noCount = [] { return AXResult<std::int64_t>::failed(AXError::failure); };
    e->attributes.push_back({"AXChildren",
                             [] {
                                 return answer(Value::array({Value("a"), Value("b"), Value("c")}));
                             },
                             noCount,
                             {}});
    e->attributes.push_back({"AXRows", [] { return answer(Value("not an array")); }, noCount, {}});
    AXElement h = handle(e);

    desktop.resetCounters();
    EXPECT_EQ(U::descriptionForUIElement(h, "AXChildren", false), "<array of size 3>");
    EXPECT_EQ(U::descriptionForUIElement(h, "AXRows", false), "not an array");
    EXPECT_EQ(counters().attributeValueCount, 2);
    EXPECT_EQ(counters().attributeValue, 2);
}

TEST_F(UIElementUtilitiesTest, OtherAttributesAreCopiedAndDescribedWithTheFlag) {
    auto e = element();
    e->setAttribute("AXPosition", Value(AXValue::point({10, 20.5})));
    e->setAttribute("AXEmpty", std::nullopt);
    AXElement h = handle(e);

    desktop.resetCounters();
    EXPECT_EQ(U::descriptionForUIElement(h, "AXPosition", false), "x=10 y=20.5");
    EXPECT_EQ(U::descriptionForUIElement(h, "AXPosition", true), "<AXPointValue x=10 y=20.5>");
    EXPECT_FALSE(U::descriptionForUIElement(h, "AXEmpty", false).has_value());
    EXPECT_FALSE(U::descriptionForUIElement(h, "AXMissing", false).has_value());
    // No name list is consulted: one copy each.
    EXPECT_EQ(counters().attributeNames, 0);
    EXPECT_EQ(counters().attributeValue, 4);
}

// ---------------------------------------------------------------- snapshot

TEST_F(UIElementUtilitiesTest, SnapshotOfAWindowOnTheDesktopAndItsCost) {
    desktop.addApplication(7, "Editor");
    desktop.addWindow({.pid = 7, .number = 31, .title = "Untitled", .bounds = {15, 40.5, 800, 600}});
    AXElement win = desktop.handle(desktop.window(31)->element);

    desktop.resetCounters();
    const Value::Dictionary snapshot = U::attributeDictionaryOfUIElement(win);
    const Value::Dictionary expected = {
        {"AXRole", Value("AXWindow")},
        {"AXTitle", Value("Untitled")},
        {"AXPosition", Value("x=15 y=40.5")},
        {"AXSize", Value("w=800 h=600")},
        {"AXMinimized", Value("0")},
        {"AXParent", Value("<AXApplication: \u201CEditor\u201D>")},
        {"AXChildren", Value("<array of size 1>")},
        {"AXCloseButton", Value("<AXButton>")},
    };
    EXPECT_EQ(snapshot, expected);

    // One name list; one request per attribute (the children by count); then role, names and
    // title for the parent, and role and names for the close button, which lists no title.
    EXPECT_EQ(counters().attributeNames, 1 + 1 + 1);
    EXPECT_EQ(counters().attributeValueCount, 1);
    EXPECT_EQ(counters().attributeValue, 7 + 2 + 1);
    EXPECT_EQ(counters().accessibilityRequests(), 14);
}

TEST_F(UIElementUtilitiesTest, SnapshotMarksAttributesWithoutDescriptionWithNull) {
    auto e = withRole("AXGroup");
    e->setAttribute("AXSubrole", std::nullopt);
    e->attributes.push_back({"AXValue", [] { return AXResult<Value>::failed(AXError::noValue); }, {}, {}});
    e->attributes.push_back(
        {"AXChildren", [] { return AXResult<Value>::failed(AXError::cannotComplete); }, {}, {}});

    const Value::Dictionary expected = {
        {"AXRole", Value("AXGroup")},
        {"AXSubrole", Value::null()},
        {"AXValue", Value::null()},
        {"AXChildren", Value::null()},
    };
    EXPECT_EQ(U::attributeDictionaryOfUIElement(handle(e)), expected);
}

TEST_F(UIElementUtilitiesTest, SnapshotKeepsTheLastOfARepeatedName) {
    auto e = element();
    auto answers = std::make_shared<int>(0);
    auto counting = [answers] { return answer(Value(++*answers == 1 ? "first" : "second")); };
    e->attributes.push_back({"AXValue", counting, {}, {}});
    e->attributes.push_back({"AXValue", counting, {}, {}});
    const Value::Dictionary expected = {{"AXValue", Value("second")}};
    EXPECT_EQ(U::attributeDictionaryOfUIElement(handle(e)), expected);
}

TEST_F(UIElementUtilitiesTest, SnapshotWithoutANameListIsEmpty) {
    auto e = withRole("AXWindow", "Doc");
    AXElement h = handle(e);

    desktop.setProcessResponsive(kPid, false);
    desktop.resetCounters();
    EXPECT_TRUE(U::attributeDictionaryOfUIElement(h).empty());
    EXPECT_EQ(counters().accessibilityRequests(), 1);

    desktop.setProcessResponsive(kPid, true);
    e->failNames = true;
    EXPECT_TRUE(U::attributeDictionaryOfUIElement(h).empty());

    // A window without an element: nothing reaches any process.
    desktop.resetCounters();
    EXPECT_TRUE(U::attributeDictionaryOfUIElement(AXElement()).empty());
    EXPECT_EQ(counters().accessibilityRequests(), 0);

    EXPECT_TRUE(U::attributeDictionaryOfUIElement(handle(element())).empty());
}

}  // namespace
}  // namespace tarvolin
