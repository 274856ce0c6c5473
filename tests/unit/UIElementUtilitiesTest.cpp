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
    // Both forms of the description; `verbose` defaults to the terse text.
    void expectDescribed(const std::optional<Value>& v, const char* terse, const char* verbose = nullptr) {
        EXPECT_EQ(U::descriptionOfValue(v, false), terse) << terse;
        EXPECT_EQ(U::descriptionOfValue(v, true), verbose ? verbose : terse) << terse;
    }
};

// ---------------------------------------------------------------- geometry values

TEST(UIElementUtilitiesGeometryText, EveryKindInBothForms) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    using L = std::numeric_limits<std::int64_t>;
    const char *P = "<AXPointValue ", *S = "<AXSizeValue ", *R = "<AXRectValue  ", *N = "<AXRangeValue ";
    struct Case {
        AXValue value;
        const char* tag;  // the verbose form is the terse one in the kind's tag
        const char* terse;
    };
    const Case cases[] = {
        {AXValue::point({10, 20.5}), P, "x=10 y=20.5"},
        {AXValue::point({1e6, 1e-5}), P, "x=1e+06 y=1e-05"},
        {AXValue::point({-0.0, 123456789}), P, "x=-0 y=1.23457e+08"},
        {AXValue::point({inf, -inf}), P, "x=inf y=-inf"},
        {AXValue::size({1440, 0.1}), S, "w=1440 h=0.1"},
        {AXValue::size({1e300, 5e-324}), S, "w=1e+300 h=4.94066e-324"},
        {AXValue::rect({0, 25, 800, 600}), R, "x=0 y=25 w=800 h=600"},
        {AXValue::rect({-1.5, 2.25, 999999, 1000000}), R, "x=-1.5 y=2.25 w=999999 h=1e+06"},
        {AXValue::range({3, 0}), N, "pos=3 len=0"},
        {AXValue::range({-5, L::max()}), N, "pos=-5 len=9223372036854775807"},
        {AXValue::range({L::min(), -1}), N, "pos=-9223372036854775808 len=-1"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(U::stringDescriptionOfAXValue(c.value, false), c.terse);
        EXPECT_EQ(U::stringDescriptionOfAXValue(c.value, true), std::string(c.tag) + c.terse + ">");
    }
    // Error values, kind 0, unknown kinds, and a point kind that carries no payload.
    for (std::uint32_t kind : {0u, 1u, 2u, 3u, 4u, 5u, 99u}) {
        for (bool verbose : {false, true})
            EXPECT_EQ(U::stringDescriptionOfAXValue(AXValue::opaque(kind), verbose), "AXValue???") << kind;
    }
}

// ---------------------------------------------------------------- any value

TEST_F(UIElementUtilitiesTest, ValuesOtherThanElementsAreDescribedWithoutRequests) {
    const Value array3 = Value::array({Value("a"), Value::integer(1), handle(element())});
    desktop.resetCounters();
    expectDescribed(Value(AXValue::point({10, 20.5})), "x=10 y=20.5", "<AXPointValue x=10 y=20.5>");
    expectDescribed(Value(AXValue::opaque(5)), "AXValue???");
    // Kind 0 is "not a geometry value", so it gets its own text rather than "AXValue???".
    expectDescribed(Value(AXValue::opaque(0)), "<AXValue type=0 >");
    expectDescribed(array3, "<array of size 3>");
    expectDescribed(Value::array({}), "<array of size 0>");
    expectDescribed(Value("plain text"), "plain text");
    expectDescribed(Value(""), "");
    expectDescribed(Value::integer(-7), "-7");
    expectDescribed(Value::boolean(true), "1");
    expectDescribed(Value(Url{"file:///tmp/x"}), "file:///tmp/x");
    EXPECT_FALSE(U::descriptionOfValue(std::nullopt, false).has_value());
    EXPECT_FALSE(U::descriptionOfValue(std::nullopt, true).has_value());
    EXPECT_EQ(counters().accessibilityRequests(), 0);
}

TEST_F(UIElementUtilitiesTest, ElementsAreDescribedByRoleAndListedTitle) {
    auto untitledFlag = withRole("AXCheckBox");
    untitledFlag->setAttribute("AXTitle", std::nullopt);
    auto numbered = withRole("AXCell");
    numbered->setAttribute("AXTitle", Value::integer(7));
    auto roleWithoutValue = element("odd");
    roleWithoutValue->setAttribute("AXRole", std::nullopt);
    // The title is read only through the name list, so an unlisted one is not found.
    auto unlistedTitle = withRole("AXGroup", "never seen");
    unlistedTitle->failNames = true;

    auto v = [&](const std::shared_ptr<sim::SimElement>& e) { return Value(handle(e)); };
    expectDescribed(v(withRole("AXApplication", "Untitled")), "<AXApplication: \u201CUntitled\u201D>");
    expectDescribed(v(withRole("AXApplication", "")), "<AXApplication: \u201C\u201D>");
    expectDescribed(v(withRole("AXButton")), "<AXButton>");
    expectDescribed(v(untitledFlag), "<AXCheckBox>");
    expectDescribed(v(numbered), "<AXCell: \u201C7\u201D>");
    expectDescribed(v(roleWithoutValue), "<(null)>");
    expectDescribed(v(unlistedTitle), "<AXGroup>");
}

TEST_F(UIElementUtilitiesTest, ElementWhoseRoleCannotBeReadGetsItsOwnStableText) {
    AXElement h = handle(withRole("AXWindow", "Doc"));
    desktop.setProcessResponsive(kPid, false);
    desktop.resetCounters();
    EXPECT_EQ(U::descriptionOfValue(Value(h), false), "<AXUIElement AXWindow>");
    EXPECT_EQ(U::descriptionOfValue(Value(h), false), "<AXUIElement AXWindow>");
    // Only the role copy was attempted each time.
    EXPECT_EQ(counters().attributeValue, 2);
    EXPECT_EQ(counters().accessibilityRequests(), 2);
    EXPECT_EQ(U::descriptionOfValue(Value(AXElement()), false), "<AXUIElement null>");
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
    auto e = withRole("AXWindow");
    e->setAttribute("AXPosition", Value(AXValue::point({1, 2})), true);
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

// AXChildren and AXRows are counted, not copied; a failed count falls back to the copied value.
TEST_F(UIElementUtilitiesTest, ChildrenAndRowsAreCountedWithoutCopyingTheirValues) {
    using Count = AXResult<std::int64_t>;
    auto counted = element(), uncounted = element();
    int copies = 0;
    auto copied = [&copies] { return ++copies, answer(Value::array({})); };
    counted->attributes.push_back({"AXChildren", copied, [] { return Count::success(5000); }, {}});
    counted->attributes.push_back({"AXRows", copied, [] { return Count::success(0); }, {}});
    auto noCount = [] { return Count::failed(AXError::failure); };
    uncounted->attributes.push_back({"AXChildren",
                                     [] {
                                         return answer(Value::array({Value("a"), Value("b"), Value("c")}));
                                     },
                                     noCount,
                                     {}});
    uncounted->attributes.push_back({"AXRows", [] { return answer(Value("not an array")); }, noCount, {}});

    desktop.resetCounters();
    EXPECT_EQ(U::descriptionForUIElement(handle(counted), "AXChildren", false), "<array of size 5000>");
    EXPECT_EQ(U::descriptionForUIElement(handle(counted), "AXRows", true), "<array of size 0>");
    EXPECT_EQ(copies, 0);
    EXPECT_EQ(counters().attributeValue, 0);
    EXPECT_EQ(counters().attributeValueCount, 2);

    EXPECT_EQ(U::descriptionForUIElement(handle(uncounted), "AXChildren", false), "<array of size 3>");
    EXPECT_EQ(U::descriptionForUIElement(handle(uncounted), "AXRows", false), "not an array");
    EXPECT_EQ(counters().attributeValueCount, 4);
    EXPECT_EQ(counters().attributeValue, 2);
}

TEST_F(UIElementUtilitiesTest, OtherAttributesAreCopiedAndDescribedWithTheFlag) {
    auto e = element();
    e->setAttribute("AXPosition", Value(AXValue::point({10, 20.5}))).setAttribute("AXEmpty", std::nullopt);
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
    EXPECT_EQ(U::attributeDictionaryOfUIElement(win), expected);

    // One name list; one request per attribute (the children by count); then role, names and
    // title for the parent, and role and names for the close button, which lists no title.
    EXPECT_EQ(counters().attributeNames, 1 + 1 + 1);
    EXPECT_EQ(counters().attributeValueCount, 1);
    EXPECT_EQ(counters().attributeValue, 7 + 2 + 1);
    EXPECT_EQ(counters().accessibilityRequests(), 14);
}

// Also: of a repeated name, the last one's value is kept.
TEST_F(UIElementUtilitiesTest, SnapshotMarksAttributesWithoutDescriptionWithNull) {
    auto e = withRole("AXGroup");
    e->setAttribute("AXSubrole", std::nullopt);
    e->attributes.push_back({"AXValue", [] { return AXResult<Value>::failed(AXError::noValue); }, {}, {}});
    e->attributes.push_back(
        {"AXChildren", [] { return AXResult<Value>::failed(AXError::cannotComplete); }, {}, {}});
    int answers = 0;
    auto counting = [&answers] { return answer(Value(++answers == 1 ? "first" : "second")); };
    e->attributes.push_back({"AXHelp", counting, {}, {}});
    e->attributes.push_back({"AXHelp", counting, {}, {}});

    const Value::Dictionary expected = {
        {"AXRole", Value("AXGroup")},  {"AXSubrole", Value::null()}, {"AXValue", Value::null()},
        {"AXChildren", Value::null()}, {"AXHelp", Value("second")},
    };
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
