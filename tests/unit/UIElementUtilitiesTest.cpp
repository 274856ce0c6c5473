#include "AgentFixture.h"

#include <cmath>
#include <limits>

namespace tarvolin::testing {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
using I64 = std::numeric_limits<std::int64_t>;

class UIElementTest : public AgentTest {
protected:
    std::shared_ptr<sim::SimElement> bare(std::string label = "e") {
        return desktop.makeElement(kElementPid, label);
    }
    // `child` answers AXParent with a fresh handle of `parent` on every request.
    void setParent(const std::shared_ptr<sim::SimElement>& child,
                   const std::shared_ptr<sim::SimElement>& parent) {
        std::weak_ptr<sim::SimElement> weak = parent;
        child->attributes.push_back(
            {"AXParent", [this, weak] { return answer(handle(weak.lock())); }, {}, {}});
    }
    // Both forms of the description; `verbose` defaults to the terse text.
    void expectDescribed(const std::optional<Value>& v, const char* terse, const char* verbose = nullptr) {
        EXPECT_EQ(U::descriptionOfValue(v, false), terse) << terse;
        EXPECT_EQ(U::descriptionOfValue(v, true), verbose ? verbose : terse) << terse;
    }
};

// ---------------------------------------------------------------- descriptions

TEST(UIElementUtilitiesGeometryText, EveryKindInBothForms) {
    const char *P = "<AXPointValue ", *S = "<AXSizeValue ", *R = "<AXRectValue  ", *N = "<AXRangeValue ";
    struct Case {
        AXValue value;
        const char* tag;  // the verbose form is the terse one in the kind's tag
        const char* terse;
    };
    const Case cases[] = {
        {AXValue::point({10, 20.5}), P, "x=10 y=20.5"},
        {AXValue::point({-0.0, 123456789}), P, "x=-0 y=1.23457e+08"},
        {AXValue::point({inf, -inf}), P, "x=inf y=-inf"},
        {AXValue::size({1e300, 5e-324}), S, "w=1e+300 h=4.94066e-324"},
        {AXValue::rect({-1.5, 2.25, 999999, 1000000}), R, "x=-1.5 y=2.25 w=999999 h=1e+06"},
        {AXValue::range({-5, I64::max()}), N, "pos=-5 len=9223372036854775807"},
        {AXValue::range({I64::min(), 0}), N, "pos=-9223372036854775808 len=0"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(U::stringDescriptionOfAXValue(c.value, false), c.terse);
        EXPECT_EQ(U::stringDescriptionOfAXValue(c.value, true), std::string(c.tag) + c.terse + ">");
    }
    // Error values, kind 0, unknown kinds, and a geometry kind that carries no payload.
    for (std::uint32_t kind : {0u, 1u, 2u, 3u, 4u, 5u, 99u})
        for (bool verbose : {false, true})
            EXPECT_EQ(U::stringDescriptionOfAXValue(AXValue::opaque(kind), verbose), "AXValue???") << kind;
}

TEST_F(UIElementTest, ValuesOtherThanElementsAreDescribedWithoutRequests) {
    const Value array3 = Value::array({Value("a"), Value::integer(1), handle(bare())});
    desktop.resetCounters();
    expectDescribed(Value(AXValue::point({10, 20.5})), "x=10 y=20.5", "<AXPointValue x=10 y=20.5>");
    expectDescribed(Value(AXValue::opaque(5)), "AXValue???");
    expectDescribed(Value(AXValue::opaque(0)), "<AXValue type=0 >");  // kind 0 is no geometry value
    expectDescribed(array3, "<array of size 3>");
    expectDescribed(Value::array({}), "<array of size 0>");
    expectDescribed(Value("plain text"), "plain text");
    expectDescribed(Value::integer(-7), "-7");
    expectDescribed(Value::boolean(true), "1");
    expectDescribed(Value(Url{"file:///tmp/x"}), "file:///tmp/x");
    EXPECT_FALSE(U::descriptionOfValue(std::nullopt, false).has_value());
    EXPECT_EQ(desktop.counters().accessibilityRequests(), 0);
}

TEST_F(UIElementTest, ElementsAreDescribedByRoleAndListedTitle) {
    auto untitledFlag = withRole("AXCheckBox");
    untitledFlag->setAttribute("AXTitle", std::nullopt);
    auto numbered = withRole("AXCell");
    numbered->setAttribute("AXTitle", Value::integer(7));
    auto roleWithoutValue = bare("odd");
    roleWithoutValue->setAttribute("AXRole", std::nullopt);
    auto unlistedTitle = withRole("AXGroup", "never seen");  // a title is read only when listed
    unlistedTitle->failNames = true;

    auto v = [&](const std::shared_ptr<sim::SimElement>& e) { return Value(handle(e)); };
    expectDescribed(v(withRole("AXApplication", "Untitled")), "<AXApplication: \u201CUntitled\u201D>");
    expectDescribed(v(withRole("AXApplication", "")), "<AXApplication: \u201C\u201D>");
    expectDescribed(v(untitledFlag), "<AXCheckBox>");
    expectDescribed(v(numbered), "<AXCell: \u201C7\u201D>");
    expectDescribed(v(roleWithoutValue), "<(null)>");
    expectDescribed(v(unlistedTitle), "<AXGroup>");

    // An element whose role cannot be read gets its own stable text, after one request.
    AXElement h = handle(withRole("AXWindow", "Doc"));
    desktop.setProcessResponsive(kElementPid, false);
    desktop.resetCounters();
    EXPECT_EQ(U::descriptionOfValue(Value(h), false), "<AXUIElement AXWindow>");
    EXPECT_EQ(desktop.counters().accessibilityRequests(), 1);
    EXPECT_EQ(U::descriptionOfValue(Value(AXElement()), false), "<AXUIElement null>");
}

// ---------------------------------------------------------------- queries

TEST_F(UIElementTest, ValueOfAttributeAsksForTheNameListFirst) {
    auto e = withRole("AXWindow", "Doc");
    e->setAttribute("AXSubrole", std::nullopt);
    e->attributes.push_back(
        {"AXValue", [] { return AXResult<Value>::failed(AXError::cannotComplete); }, {}, {}});
    AXElement h = handle(e);
    desktop.resetCounters();
    EXPECT_EQ(U::valueOfAttribute("AXTitle", h), Value("Doc"));
    EXPECT_EQ(desktop.counters().attributeNames + desktop.counters().attributeValue, 2);
    // Unlisted, or a near miss in case: only the name list is asked for.
    desktop.resetCounters();
    EXPECT_FALSE(U::valueOfAttribute("AXParent", h).has_value());
    EXPECT_FALSE(U::valueOfAttribute("axtitle", h).has_value());
    EXPECT_EQ(desktop.counters().attributeNames, 2);
    EXPECT_EQ(desktop.counters().attributeValue, 0);
    // Listed without a value, or with a value that cannot be copied.
    EXPECT_FALSE(U::valueOfAttribute("AXSubrole", h).has_value());
    EXPECT_FALSE(U::valueOfAttribute("AXValue", h).has_value());
    e->failNames = true;
    EXPECT_FALSE(U::valueOfAttribute("AXTitle", h).has_value());
}

TEST_F(UIElementTest, QueriesAndFailedQueriesGiveZeroFalseOrNone) {
    auto e = withRole("AXApplication");
    e->setAttribute("AXPosition", Value(AXValue::point({1, 2})), true);
    int raised = 0;
    e->addAction("AXRaise", "raise", [&] { return ++raised, AXError::success; });
    AXElement h = handle(e);
    EXPECT_EQ(U::processIdentifierOfUIElement(h), kElementPid);
    EXPECT_TRUE(U::canSetAttribute("AXPosition", h));
    EXPECT_FALSE(U::canSetAttribute("AXRole", h));
    EXPECT_FALSE(U::canSetAttribute("AXMissing", h));
    EXPECT_EQ(U::descriptionOfAction("AXRaise", h), "raise");
    EXPECT_FALSE(U::descriptionOfAction("AXPress", h).has_value());
    EXPECT_TRUE(U::isApplicationUIElement(h));
    auto numericRole = bare();
    numericRole->setAttribute("AXRole", Value::integer(1));
    for (const auto& other : {withRole("axapplication"), bare(), numericRole})
        EXPECT_FALSE(U::isApplicationUIElement(handle(other)));
    U::performAction("AXRaise", h);
    EXPECT_EQ(raised, 1);

    EXPECT_EQ(U::processIdentifierOfUIElement(AXElement()), 0);
    desktop.setProcessResponsive(kElementPid, false);
    EXPECT_FALSE(U::canSetAttribute("AXPosition", h));
    EXPECT_FALSE(U::attributeNamesOfUIElement(h).has_value());
    EXPECT_FALSE(U::actionNamesOfUIElement(h).has_value());
    EXPECT_FALSE(U::isApplicationUIElement(h));
    U::performAction("AXRaise", h);  // refused, and dropped quietly
    EXPECT_EQ(raised, 1);
}

// AXChildren and AXRows are counted, not copied; a failed count falls back to the copied value.
TEST_F(UIElementTest, OneAttributesDescriptionCountsChildrenAndRows) {
    using Count = AXResult<std::int64_t>;
    auto counted = bare(), uncounted = bare();
    auto copied = [] { return answer(Value::array({})); };
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
    counted->setAttribute("AXPosition", Value(AXValue::point({10, 20.5})))
        .setAttribute("AXEmpty", std::nullopt);

    desktop.resetCounters();
    EXPECT_EQ(U::descriptionForUIElement(handle(counted), "AXChildren", false), "<array of size 5000>");
    EXPECT_EQ(U::descriptionForUIElement(handle(counted), "AXRows", true), "<array of size 0>");
    EXPECT_EQ(desktop.counters().attributeValue, 0);
    EXPECT_EQ(U::descriptionForUIElement(handle(uncounted), "AXChildren", false), "<array of size 3>");
    EXPECT_EQ(U::descriptionForUIElement(handle(uncounted), "AXRows", false), "not an array");
    EXPECT_EQ(U::descriptionForUIElement(handle(counted), "AXPosition", false), "x=10 y=20.5");
    EXPECT_EQ(U::descriptionForUIElement(handle(counted), "AXPosition", true), "<AXPointValue x=10 y=20.5>");
    EXPECT_FALSE(U::descriptionForUIElement(handle(counted), "AXEmpty", false).has_value());
    EXPECT_FALSE(U::descriptionForUIElement(handle(counted), "AXMissing", false).has_value());
    // Only the two attributes above are counted; no name list is consulted.
    EXPECT_EQ(desktop.counters().attributeValueCount, 4);
    EXPECT_EQ(desktop.counters().attributeValue, 6);
    EXPECT_EQ(desktop.counters().attributeNames, 0);
}

// ---------------------------------------------------------------- snapshot

TEST_F(UIElementTest, SnapshotOfAWindowOnTheDesktopAndItsCost) {
    desktop.addApplication(7, "Editor");
    desktop.addWindow({.pid = 7, .number = 31, .title = "Untitled", .bounds = {15, 40.5, 800, 600}});
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
    EXPECT_EQ(U::attributeDictionaryOfUIElement(handle(desktop.window(31)->element)), expected);
    // One name list; one request per attribute (the children by count); then role, names and
    // title for the parent, and role and names for the close button, which lists no title.
    EXPECT_EQ(desktop.counters().attributeNames, 1 + 1 + 1);
    EXPECT_EQ(desktop.counters().attributeValueCount, 1);
    EXPECT_EQ(desktop.counters().attributeValue, 7 + 2 + 1);
    EXPECT_EQ(desktop.counters().accessibilityRequests(), 14);
}

TEST_F(UIElementTest, SnapshotMarksAttributesWithoutDescriptionWithNullAndKeepsTheLastOfARepeatedName) {
    auto e = withRole("AXGroup");
    e->setAttribute("AXSubrole", std::nullopt);
    e->attributes.push_back({"AXValue", [] { return AXResult<Value>::failed(AXError::noValue); }, {}, {}});
    int answers = 0;
    auto counting = [&answers] { return answer(Value(++answers == 1 ? "first" : "second")); };
    e->attributes.push_back({"AXHelp", counting, {}, {}});
    e->attributes.push_back({"AXHelp", counting, {}, {}});
    const Value::Dictionary expected = {{"AXRole", Value("AXGroup")},
                                        {"AXSubrole", Value::null()},
                                        {"AXValue", Value::null()},
                                        {"AXHelp", Value("second")}};
    EXPECT_EQ(U::attributeDictionaryOfUIElement(handle(e)), expected);

    // Without a name list, or without an element, the snapshot is empty; the latter asks nothing.
    e->failNames = true;
    EXPECT_TRUE(U::attributeDictionaryOfUIElement(handle(e)).empty());
    desktop.resetCounters();
    EXPECT_TRUE(U::attributeDictionaryOfUIElement(AXElement()).empty());
    EXPECT_EQ(desktop.counters().accessibilityRequests(), 0);
}

// ---------------------------------------------------------------- lineage and report

TEST_F(UIElementTest, LineageRunsFromTheRootDownAndEndsWhereNoParentElementIsFound) {
    auto app = withRole("AXApplication", "Editor");
    auto win = withRole("AXWindow", "Untitled");
    auto button = withRole("AXButton");
    setParent(win, app);
    setParent(button, win);
    EXPECT_EQ(U::lineageDescriptionOfUIElement(handle(button)),
              "<AXApplication: \u201CEditor\u201D>\n <AXWindow: \u201CUntitled\u201D>\n  <AXButton>\n");
    EXPECT_EQ(U::lineageOfUIElement(handle(app)),
              std::vector<std::string>{"<AXApplication: \u201CEditor\u201D>"});
    desktop.addApplication(7, "Editor");
    desktop.addWindow({.pid = 7, .number = 5, .title = "Untitled"});
    EXPECT_EQ(U::lineageDescriptionOfUIElement(handle(desktop.window(5)->element)),
              "<AXApplication: \u201CEditor\u201D>\n <AXWindow: \u201CUntitled\u201D>\n");

    auto odd = withRole("AXGroup");
    odd->setAttribute("AXParent", Value("not an element"));
    auto nullParent = withRole("AXGroup");
    nullParent->setAttribute("AXParent", Value(AXElement()));
    EXPECT_EQ(U::lineageOfUIElement(handle(odd)), std::vector<std::string>{"<AXGroup>"});
    EXPECT_EQ(U::lineageOfUIElement(handle(nullParent)), std::vector<std::string>{"<AXGroup>"});
    win->failNames = true;  // no name list, so no parent is found
    EXPECT_EQ(U::lineageOfUIElement(handle(win)), std::vector<std::string>{"<AXWindow>"});
    desktop.setProcessResponsive(kElementPid, false);
    EXPECT_EQ(U::lineageDescriptionOfUIElement(handle(win)), "<AXUIElement AXWindow>\n");
}

TEST_F(UIElementTest, ParentChainThatLoopsStops) {
    // On the same handles: at the first repeat.
    auto a = withRole("AXGroup", "a");
    auto b = withRole("AXGroup", "b");
    AXElement ha = handle(a), hb = handle(b);
    a->attributes.push_back({"AXParent", [&hb] { return answer(hb); }, {}, {}});
    b->attributes.push_back({"AXParent", [&ha] { return answer(ha); }, {}, {}});
    EXPECT_EQ(U::lineageOfUIElement(ha),
              (std::vector<std::string>{"<AXGroup: \u201Cb\u201D>", "<AXGroup: \u201Ca\u201D>"}));

    // Through fresh handles: at the depth bound, with every handle released.
    auto c = withRole("AXGroup", "c");
    auto d = withRole("AXGroup", "d");
    setParent(c, d);
    setParent(d, c);
    const auto lineage = U::lineageOfUIElement(handle(c));
    ASSERT_EQ(lineage.size(), 256u);
    EXPECT_EQ(lineage.back(), "<AXGroup: \u201Cc\u201D>");
    EXPECT_EQ(lineage.front(), "<AXGroup: \u201Cd\u201D>");
    EXPECT_EQ(c->liveHandles + d->liveHandles, 0);
    EXPECT_TRUE(U::lineageDescriptionOfUIElement(handle(c)).ends_with("\n" + std::string(255, ' ') +
                                                                      "<AXGroup: \u201Cc\u201D>\n"));
}

TEST_F(UIElementTest, ReportHasLineageAttributesWithWritableMarksAndActions) {
    auto app = withRole("AXApplication", "Editor");
    auto win = withRole("AXWindow", "Untitled");
    setParent(win, app);
    win->setAttribute("AXPosition", Value(AXValue::point({10, 20.5})), true);
    win->setAttribute("AXSubrole", std::nullopt);
    win->addAction("AXRaise", "raise").addAction("AXPress", "");
    EXPECT_EQ(U::stringDescriptionOfUIElement(handle(win)),
              "<AXApplication: \u201CEditor\u201D>\n"
              " <AXWindow: \u201CUntitled\u201D>\n"
              "\n"
              "Attributes:\n"
              "   AXRole:  \u201CAXWindow\u201D\n"
              "   AXTitle:  \u201CUntitled\u201D\n"
              "   AXParent:  \u201C<AXApplication: \u201CEditor\u201D>\u201D\n"
              "   AXPosition (W):  \u201Cx=10 y=20.5\u201D\n"
              "   AXSubrole:  \u201C(null)\u201D\n"
              "\n"
              "Actions:\n"
              "   AXRaise - raise\n"
              "   AXPress - \n");

    // Sections without entries are left out, whether the list is empty or cannot be read.
    auto bare = withRole("AXGroup");
    EXPECT_EQ(U::stringDescriptionOfUIElement(handle(bare)),
              "<AXGroup>\n\nAttributes:\n   AXRole:  \u201CAXGroup\u201D\n");
    auto silent = desktop.makeElement(kElementPid, "silent");
    EXPECT_EQ(U::stringDescriptionOfUIElement(handle(silent)), "<AXUIElement silent>\n");
    silent->failNames = silent->failActions = true;
    silent->addAction("AXPress", "press");
    EXPECT_EQ(U::stringDescriptionOfUIElement(handle(silent)), "<AXUIElement silent>\n");
    silent->failActions = false;
    EXPECT_EQ(U::stringDescriptionOfUIElement(handle(silent)),
              "<AXUIElement silent>\n\nActions:\n   AXPress - press\n");
}

TEST_F(UIElementTest, DescriptionAttributeFallsBackToNoDescription) {
    struct Case {
        std::optional<Value> value;  // none: listed without a value
        bool listed;
        const char* text;
    };
    const Case cases[] = {{Value("Close button"), true, "Close button"},
                          {Value(""), true, "No Description"},
                          {std::nullopt, true, "No Description"},
                          {Value("never read"), false, "No Description"},
                          {Value::integer(0), true, "0"}};
    for (const auto& c : cases) {
        auto e = withRole("AXButton");
        if (c.listed) e->setAttribute("AXDescription", c.value);
        EXPECT_EQ(U::descriptionOfAXDescriptionOfUIElement(handle(e)), c.text);
    }
}

// ---------------------------------------------------------------- writing from text

class SetStringValueTest : public UIElementTest {
protected:
    // What is written to an attribute that holds `current`, after one read and at most one write.
    std::optional<Value> writeText(std::optional<Value> current, std::string_view text) {
        int writes = 0;
        std::optional<Value> written;
        auto e = desktop.makeElement(kElementPid, "target");
        e->attributes.push_back({"AXTarget",
                                 [current] { return AXResult<Value>::success(current); },
                                 {},
                                 [&](const Value& v) { return ++writes, written = v, AXError::success; }});
        desktop.resetCounters();
        U::setStringValue(text, "AXTarget", handle(e));
        EXPECT_EQ(desktop.counters().attributeValue, 1);
        EXPECT_EQ(desktop.counters().setAttributeValue, writes);
        EXPECT_LE(writes, 1);
        return written;
    }
};

Value real(float f) { return Value::real(static_cast<double>(f)); }

TEST_F(SetStringValueTest, GeometryTextsAreParsedAgainstTheirPattern) {
    const Value point(AXValue::point({5, 5})), size(AXValue::size({5, 5}));
    const Value rect(AXValue::rect({5, 5, 5, 5})), range(AXValue::range({5, 5}));
    struct Case {
        Value current;
        const char* text;
        std::optional<Value> written;  // none: a text that does not supply every number writes nothing
    };
    const Case cases[] = {
        {point, "x=  1  y=\t2", Value(AXValue::point({1, 2}))},  // blanks match any run of white space
        {point, "x=1y=2", Value(AXValue::point({1, 2}))},        // ... including none
        {point, "x=1 y=2 trailing", Value(AXValue::point({1, 2}))},
        {size, "w=800 h=600", Value(AXValue::size({800, 600}))},
        {rect, "x=0 y=25 w=800 h=600", Value(AXValue::rect({0, 25, 800, 600}))},
        {range, "pos=-7 len=9223372036854775807", Value(AXValue::range({-7, I64::max()}))},
        {point, "x=10", std::nullopt},
        {point, "x=10 z=20", std::nullopt},
        {point, "", std::nullopt},
        {point, "  x=1 y=2", std::nullopt},  // the literal must come first
        {point, "w=1 h=2", std::nullopt},
        {size, "x=1 y=2", std::nullopt},
        {rect, "x=1 y=2 w=3", std::nullopt},
        {range, "pos=1.5 len=2", std::nullopt},
        {range, "pos=1", std::nullopt},
        // Other kinds of value are left alone; strings take the text unparsed.
        {Value::array({Value::integer(1)}), "1", std::nullopt},
        {Value::dictionary({}), "1", std::nullopt},
        {Value(AXValue::opaque(5)), "x=1 y=2", std::nullopt},
        {Value(Url{"file:///"}), "file:///tmp", std::nullopt},
        {Value::null(), "1", std::nullopt},
        {Value(handle(withRole("AXButton"))), "1", std::nullopt},
        {Value("old"), "x=1 y=2", Value("x=1 y=2")},
        {Value("old"), "", Value("")},
    };
    for (const auto& c : cases) EXPECT_EQ(writeText(c.current, c.text), c.written) << c.text;
    EXPECT_EQ(writeText(std::nullopt, "1"), std::nullopt);  // listed without a value
}

TEST_F(SetStringValueTest, NumbersTakeTheLeadingDecimalAsAFloat) {
    constexpr float finf = std::numeric_limits<float>::infinity();
    const std::string tiny = "0." + std::string(60, '0') + "1";
    struct Case {
        std::string text;
        Value written;
    };
    const Case cases[] = {
        {"3.75", real(3.75f)},
        {"  \t\n3.75abc", real(3.75f)},
        {"0.1", real(0.1f)},
        {"-2.5e-1", real(-0.25f)},
        {"1E3x", real(1000.0f)},
        {"+7", real(7.0f)},
        {".5", real(0.5f)},
        {"5.", real(5.0f)},
        {"12e", real(12.0f)},
        {"12ex", real(12.0f)},
        {"12e+x", real(12.0f)},
        {"-0", real(-0.0f)},
        {"16777217", real(16777216.0f)},
        {"1e39", real(finf)},
        {"-1e999999999999999999999", real(-finf)},
        {"1e-50", real(0.0f)},
        {tiny, real(0.0f)},
        {tiny + "e10", real(0.0f)},
        {"abc", real(0.0f)},
        {"", real(0.0f)},
        {"-", real(0.0f)},
        {".", real(0.0f)},
        {"inf", real(0.0f)},
        {"0x10", real(0.0f)},
    };
    for (const auto& c : cases)
        for (const Value& current : {Value::integer(5), Value::real(2.5), Value::boolean(false)})
            EXPECT_EQ(writeText(current, c.text), c.written) << c.text;
    auto negativeZero = writeText(Value::integer(1), "-0");
    ASSERT_TRUE(negativeZero && negativeZero->asReal());
    EXPECT_TRUE(std::signbit(*negativeZero->asReal()));
}

TEST_F(SetStringValueTest, UnreadableAttributeOrMissingNameWritesNothing) {
    U::setStringValue("new", "", handle(bare()));
    desktop.resetCounters();
    U::setStringValue("new", "", handle(withRole("AXButton")));
    EXPECT_EQ(desktop.counters().accessibilityRequests(), 0);
    auto e = withRole("AXButton");
    e->setAttribute("AXTitle", Value("old"), true);
    desktop.setProcessResponsive(kElementPid, false);
    U::setStringValue("newer", "AXTitle", handle(e));
    EXPECT_EQ(desktop.counters().setAttributeValue, 0);
}

TEST_F(SetStringValueTest, TerseGeometryTextRoundTripsToFloatPrecision) {
    auto f = [](double d) { return static_cast<double>(static_cast<float>(d)); };
    for (double x : {0.1, 20.5, 1e6, 1e-5, -0.0, 0.333333, 1e-40, 3e38, 65535.5}) {
        const double y = -123.25;
        const Value rect(AXValue::rect({x, y, x, y}));
        const std::string text = U::stringDescriptionOfAXValue(*rect.asAXValue(), false);
        EXPECT_EQ(writeText(rect, text), Value(AXValue::rect({f(x), f(y), f(x), f(y)}))) << text;
    }
    // The text carries six significant digits, so more precise values come back rounded.
    EXPECT_EQ(writeText(Value(AXValue::size({123456.789, 1})), "w=123457 h=1"),
              Value(AXValue::size({123457, 1})));
}

// ---------------------------------------------------------------- screen geometry

TEST_F(UIElementTest, ScreenPointsMirrorInTheLastScreenThatHoldsThem) {
    struct Case {
        std::vector<Rect> screens;
        Point in, out;
    };
    const std::vector<Rect> one = {{0, 0, 1440, 900}};
    const std::vector<Rect> overlapping = {{0, 0, 1440, 900}, {0, 0, 800, 600}};
    const Case cases[] = {
        {one, {100, 0}, {100, 899}},
        {one, {100, 900}, {0, 0}},  // on the largest edge: outside
        {one, {1440, 10}, {0, 0}},
        {one, {-1, 10}, {0, 0}},
        {one, {10.25, 0.75}, {10.25, 898.25}},
        {overlapping, {100, 100}, {100, 499}},
        {overlapping, {1000, 100}, {1000, 799}},
        {{{0, 0, 1440, 900}, {1440, 100, 1920, 1080}},
         {2000, 500},
         {2000, 579}},  // the found screen's height
        {{}, {100, 100}, {0, 0}},
    };
    for (const auto& c : cases) {
        desktop.screens() = c.screens;
        EXPECT_EQ(U::carbonScreenPointFromCocoaScreenPoint(screens, c.in), c.out) << c.in.x << "," << c.in.y;
    }
}

TEST_F(UIElementTest, RectanglesFlipAboutTheFirstScreensTopEdge) {
    struct Case {
        std::vector<Rect> screens;
        Rect in, out;
    };
    const Case cases[] = {
        {{{0, 0, 1440, 900}}, {0, 25, 800, 600}, {0, 275, 800, 600}},
        {{{0, 0, 1440, 900}, {0, 0, 5000, 5000}}, {0, 25, 800, 600}, {0, 275, 800, 600}},
        {{{0, 100, 1440, 900}}, {-10, 1000, 5, 50}, {-10, -50, 5, 50}},
        {{}, {3, 25, 800, 600}, {3, -625, 800, 600}},
        // The top edge is held as a 32-bit float: 2^24 + 1 becomes 2^24.
        {{{0, 0, 100, 16777217}}, {0, 0, 10, 1}, {0, 16777215, 10, 1}},
    };
    for (const auto& c : cases) {
        desktop.screens() = c.screens;
        EXPECT_EQ(U::flippedScreenBounds(screens, c.in), c.out);
        EXPECT_EQ(U::flippedScreenBounds(screens, c.out), c.in) << "flipping twice gives it back";
    }
}

TEST_F(UIElementTest, FrameIsPositionAndSizeInTheScreensConventionOrZero) {
    desktop.screens() = {{0, 0, 1440, 900}};
    desktop.addApplication(7, "Editor");
    desktop.addWindow({.pid = 7, .number = 9, .title = "Doc", .bounds = {100, 50, 640, 480}});
    desktop.resetCounters();
    EXPECT_EQ(U::frameOfUIElement(screens, handle(desktop.window(9)->element)), (Rect{100, 370, 640, 480}));
    EXPECT_EQ(desktop.counters().accessibilityRequests(), 4);

    const Value point(AXValue::point({10, 20})), size(AXValue::size({300, 200}));
    struct Case {
        std::optional<Value> position, size;  // none: not listed
    };
    const Case cases[] = {
        {point, std::nullopt},
        {std::nullopt, size},
        {Value("x=10 y=20"), size},
        {point, Value::array({})},
        {size, size},
        {point, point},
        {Value(AXValue::opaque(1)), size},
        {point, Value(AXValue::opaque(2))},
        {Value(AXValue::rect({10, 20, 300, 200})), size},
    };
    for (const auto& c : cases) {
        auto e = withRole("AXWindow");
        if (c.position) e->setAttribute("AXPosition", *c.position);
        if (c.size) e->setAttribute("AXSize", *c.size);
        EXPECT_EQ(U::frameOfUIElement(screens, handle(e)), Rect{});
    }
    auto hung = withRole("AXWindow");
    hung->setAttribute("AXPosition", point).setAttribute("AXSize", size);
    EXPECT_EQ(U::frameOfUIElement(screens, handle(hung)), (Rect{10, 680, 300, 200}));
    desktop.setProcessResponsive(kElementPid, false);
    EXPECT_EQ(U::frameOfUIElement(screens, handle(hung)), Rect{});
}

}  // namespace
}  // namespace tarvolin::testing
