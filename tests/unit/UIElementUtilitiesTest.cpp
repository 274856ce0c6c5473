#include "AgentFixture.h"
#include "accessibility/ElementPath.h"

#include <limits>

namespace tarvolin::testing {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
using I64 = std::numeric_limits<std::int64_t>;
using Count = AXResult<std::int64_t>;

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
    void add(const std::shared_ptr<sim::SimElement>& e, const char* name,
             std::function<AXResult<Value>()> get, std::function<Count()> count = {}) {
        e->attributes.push_back({name, std::move(get), std::move(count), {}});
    }
};

TEST(ElementPath, StepsReadBackAsWrittenAndAnythingElseIsRefusedWithWhere) {
    std::string error;
    const std::vector<PathStep> steps{{"AXGroup", "", 2}, {"AXButton", "a/b]\\c#3", 1}, {"AXRow", "", 12}};
    std::string text;
    for (const PathStep& s : steps) text += (text.empty() ? "" : "/") + formatPathStep(s);
    EXPECT_EQ(text, "AXGroup#2/AXButton[a/b\\]\\\\c#3]/AXRow#12");
    EXPECT_EQ(parseElementPath(text, error), steps) << error;
    for (const char* bad :
         {"", "AXGroup/", "[x]", "AXGroup[open", "AXGroup#0", "AXGroup#", "AXGroup]", "A\\B"}) {
        error.clear();
        EXPECT_FALSE(parseElementPath(bad, error)) << bad;
        EXPECT_NE(error.find("of the path"), std::string::npos) << bad;
    }
}

TEST_F(UIElementTest, ValuesAreDescribedTerselyOrVerbosely) {
    auto untitled = withRole("AXCheckBox");
    untitled->setAttribute("AXTitle", std::nullopt);
    auto noRole = bare();
    noRole->setAttribute("AXRole", std::nullopt);
    const char *P = "<AXPointValue ", *S = "<AXSizeValue ", *R = "<AXRectValue  ", *N = "<AXRangeValue ";
    struct Case {
        Value value;
        const char* terse;
        const char* tag = nullptr;  // the verbose form is the terse one in this tag; none: as terse
    };
    const Case cases[] = {
        {Value(AXValue::point({-0.0, 123456789})), "x=-0 y=1.23457e+08", P},
        {Value(AXValue::size({inf, 5e-324})), "w=inf h=4.94066e-324", S},
        {Value(AXValue::rect({-1.5, 2.25, 999999, 1e6})), "x=-1.5 y=2.25 w=999999 h=1e+06", R},
        {Value(AXValue::range({I64::min(), I64::max()})), "pos=-9223372036854775808 len=9223372036854775807",
         N},
        {Value(AXValue::opaque(0)), "<AXValue type=0 >"},  // kind 0 is no geometry value
        {Value("plain text"), "plain text"},
        {Value(handle(withRole("AXApplication", "Untitled"))), "<AXApplication: \u201CUntitled\u201D>"},
        {Value(handle(untitled)), "<AXCheckBox>"},
        {Value(handle(noRole)), "<(null)>"},
        {Value(AXElement()), "<AXUIElement null>"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(U::descriptionOfValue(c.value, false), c.terse);
        EXPECT_EQ(U::descriptionOfValue(c.value, true), c.tag ? c.tag + std::string(c.terse) + ">" : c.terse);
    }
    // Error values, unknown kinds, and a geometry kind that carries no payload.
    for (std::uint32_t kind : {1u, 2u, 3u, 4u, 5u, 99u})
        for (bool verbose : {false, true})
            EXPECT_EQ(U::descriptionOfValue(Value(AXValue::opaque(kind)), verbose), "AXValue???");
}

// canSetAttribute and the action queries are read through the report below.
TEST_F(UIElementTest, QueriesAskOnlyForListedAttributesAndFailToNoneOrFalse) {
    auto e = withRole("AXApplication", "Doc");
    e->setAttribute("AXSubrole", std::nullopt);
    AXElement h = handle(e);
    desktop.resetCounters();
    EXPECT_EQ(U::valueOfAttribute("AXTitle", h), Value("Doc"));
    for (const char* absent : {"AXParent", "axtitle", "AXSubrole"})
        EXPECT_FALSE(U::valueOfAttribute(absent, h));
    EXPECT_EQ(desktop.counters().attributeNames + desktop.counters().attributeValue, 6)
        << "unlisted: not asked";
    EXPECT_TRUE(U::isApplicationUIElement(h));
    for (const auto& other : {withRole("axapplication"), bare()})
        EXPECT_FALSE(U::isApplicationUIElement(handle(other)));
    EXPECT_EQ(U::processIdentifierOfUIElement(h), kElementPid);
    EXPECT_EQ(U::processIdentifierOfUIElement(AXElement()), 0);
    desktop.setProcessResponsive(kElementPid, false);
    EXPECT_FALSE(U::valueOfAttribute("AXTitle", h));
    EXPECT_FALSE(U::isApplicationUIElement(h));
}

// AXChildren and AXRows are counted, not copied; a failed count falls back to the copied value.
TEST_F(UIElementTest, OneAttributesDescriptionCountsChildrenAndRows) {
    auto counted = bare(), uncounted = bare();
    auto empty = [] { return answer(Value::array({})); };
    auto two = [] { return answer(Value::array({Value("a"), Value("b")})); };
    auto text = [] { return answer(Value("not an array")); };
    auto noCount = [] { return Count::failed(AXError::failure); };
    add(counted, "AXChildren", empty, [] { return Count::success(5000); });
    add(counted, "AXRows", empty, [] { return Count::success(0); });
    add(uncounted, "AXChildren", two, noCount);
    add(uncounted, "AXRows", text, noCount);
    counted->setAttribute("AXPosition", Value(AXValue::point({10, 20.5})))
        .setAttribute("AXEmpty", std::nullopt);
    desktop.resetCounters();
    EXPECT_EQ(U::descriptionForUIElement(handle(counted), "AXChildren", false), "<array of size 5000>");
    EXPECT_EQ(U::descriptionForUIElement(handle(counted), "AXRows", true), "<array of size 0>");
    EXPECT_EQ(desktop.counters().attributeValue, 0);
    EXPECT_EQ(U::descriptionForUIElement(handle(uncounted), "AXChildren", false), "<array of size 2>");
    EXPECT_EQ(U::descriptionForUIElement(handle(uncounted), "AXRows", false), "not an array");
    EXPECT_EQ(U::descriptionForUIElement(handle(counted), "AXPosition", true), "<AXPointValue x=10 y=20.5>");
    EXPECT_FALSE(U::descriptionForUIElement(handle(counted), "AXEmpty", false).has_value());
    EXPECT_FALSE(U::descriptionForUIElement(handle(counted), "AXMissing", false).has_value());
}

TEST_F(UIElementTest, SnapshotMarksAttributesWithoutDescriptionWithNull) {
    auto e = withRole("AXGroup");
    e->setAttribute("AXSubrole", std::nullopt);
    add(e, "AXValue", [] { return AXResult<Value>::failed(AXError::noValue); });
    const Value::Dictionary expected = {
        {"AXRole", Value("AXGroup")}, {"AXSubrole", Value::null()}, {"AXValue", Value::null()}};
    EXPECT_EQ(U::attributeDictionaryOfUIElement(handle(e)), expected);
    // Without a name list the snapshot is empty.
    e->failNames = true;
    EXPECT_TRUE(U::attributeDictionaryOfUIElement(handle(e)).empty());
}

TEST_F(UIElementTest, LineageRunsFromTheRootDownAndEndsWhereNoParentElementIsFound) {
    auto app = withRole("AXApplication", "Editor");
    auto win = withRole("AXWindow", "Untitled");
    setParent(win, app);
    auto odd = withRole("AXGroup");
    odd->setAttribute("AXParent", Value("not an element"));
    EXPECT_EQ(U::lineageOfUIElement(handle(odd)), std::vector<std::string>{"<AXGroup>"});
    desktop.setProcessResponsive(kElementPid, false);
    EXPECT_EQ(U::lineageDescriptionOfUIElement(handle(win)), "<AXUIElement AXWindow>\n");
}

TEST_F(UIElementTest, ParentChainThatLoopsStops) {
    // On the same handles: at the first repeat.
    auto a = withRole("AXGroup", "a"), b = withRole("AXGroup", "b");
    AXElement ha = handle(a), hb = handle(b);
    add(a, "AXParent", [&hb] { return answer(hb); });
    add(b, "AXParent", [&ha] { return answer(ha); });
    EXPECT_EQ(U::lineageOfUIElement(ha),
              (std::vector<std::string>{"<AXGroup: \u201Cb\u201D>", "<AXGroup: \u201Ca\u201D>"}));
    // Through fresh handles: at the depth bound, with every handle released.
    auto c = withRole("AXGroup", "c"), d = withRole("AXGroup", "d");
    setParent(c, d);
    setParent(d, c);
    const auto lineage = U::lineageOfUIElement(handle(c));
    ASSERT_EQ(lineage.size(), 256u);
    EXPECT_EQ(lineage.front(), "<AXGroup: \u201Cd\u201D>");
    EXPECT_EQ(c->liveHandles + d->liveHandles, 0);
}

TEST_F(UIElementTest, ReportHasLineageAttributesWithWritableMarksAndActions) {
    auto app = withRole("AXApplication", "Editor");
    auto win = withRole("AXWindow", "Untitled");
    setParent(win, app);
    win->setAttribute("AXPosition", Value(AXValue::point({10, 20.5})), true)
        .setAttribute("AXSubrole", std::nullopt);
    win->addAction("AXRaise", "raise").addAction("AXPress", "");
    EXPECT_EQ(U::stringDescriptionOfUIElement(handle(win)),
              "<AXApplication: \u201CEditor\u201D>\n <AXWindow: \u201CUntitled\u201D>\n\nAttributes:\n"
              "   AXRole:  \u201CAXWindow\u201D\n"
              "   AXTitle:  \u201CUntitled\u201D\n"
              "   AXParent:  \u201C<AXApplication: \u201CEditor\u201D>\u201D\n"
              "   AXPosition (W):  \u201Cx=10 y=20.5\u201D\n"
              "   AXSubrole:  \u201C(null)\u201D\n\nActions:\n"
              "   AXRaise - raise\n"
              "   AXPress - \n");
    // Sections without entries are left out, whether the list is empty or cannot be read.
    auto silent = bare("silent");
    EXPECT_EQ(U::stringDescriptionOfUIElement(handle(silent)), "<AXUIElement silent>\n");
    silent->failNames = true;
    silent->addAction("AXPress", "press");
    EXPECT_EQ(U::stringDescriptionOfUIElement(handle(silent)),
              "<AXUIElement silent>\n\nActions:\n   AXPress - press\n");

    // The description attribute, with its fallback.
    auto button = withRole("AXButton");
    button->setAttribute("AXDescription", Value("Close button"));
    EXPECT_EQ(U::descriptionOfAXDescriptionOfUIElement(handle(button)), "Close button");
    button->setAttribute("AXDescription", Value(""));
    EXPECT_EQ(U::descriptionOfAXDescriptionOfUIElement(handle(button)), "No Description");
    win->failNames = true;  // unlisted: never read
    EXPECT_EQ(U::descriptionOfAXDescriptionOfUIElement(handle(win)), "No Description");
}

// ---------------------------------------------------------------- writing from text

// What is written to an attribute that holds `current`, after one read and at most one write.
class SetStringValueTest : public UIElementTest {
protected:
    std::optional<Value> writeText(std::optional<Value> current, std::string_view text) {
        std::optional<Value> written;
        auto e = bare("target");
        e->attributes.push_back({"AXTarget",
                                 [current] { return AXResult<Value>::success(current); },
                                 {},
                                 [&](const Value& v) { return written = v, AXError::success; }});
        desktop.resetCounters();
        U::setStringValue(text, "AXTarget", handle(e));
        EXPECT_EQ(desktop.counters().attributeValue, 1);
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
        {point, "x=  1  y=\t2 trailing",
         Value(AXValue::point({1, 2}))},  // blanks match any run of white space
        {size, "w=123456.789 h=3e38", Value(AXValue::size({123456.789f, 3e38f}))},  // held as floats
        {rect, "x=0 y=25 w=800 h=600", Value(AXValue::rect({0, 25, 800, 600}))},
        {range, "pos=-7 len=9223372036854775807", Value(AXValue::range({-7, I64::max()}))},
        {rect, "x=1 y=2 w=3", std::nullopt},
        // Strings take the text unparsed; other kinds of value are left alone.
        {Value("old"), "x=1 y=2", Value("x=1 y=2")},
        {Value(AXValue::opaque(5)), "x=1 y=2", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(writeText(c.current, c.text), c.written) << c.text;
    EXPECT_EQ(writeText(std::nullopt, "1"), std::nullopt);  // listed without a value
    // No attribute name, or an element that does not answer: nothing is asked or written.
    desktop.resetCounters();
    U::setStringValue("new", "", handle(withRole("AXButton")));
    auto hung = withRole("AXButton", "old");
    desktop.setProcessResponsive(kElementPid, false);
    U::setStringValue("new", "AXTitle", handle(hung));
    EXPECT_EQ(desktop.counters().attributeValue + desktop.counters().setAttributeValue, 1);
}

TEST_F(SetStringValueTest, NumbersTakeTheLeadingDecimalAsAFloat) {
    const float finf = std::numeric_limits<float>::infinity();
    const std::string tiny = "0." + std::string(60, '0') + "1";
    // clang-format off
    const std::pair<std::string, Value> cases[] = {
        {"  \t\n0.1abc", real(0.1f)},    {"-2.5e-1", real(-0.25f)},   {"1E3x", real(1000.0f)},
        {"+7", real(7.0f)},               {".5", real(0.5f)},          {"12e+x", real(12.0f)},
        {"-1e999999999999999999999", real(-finf)},                     {tiny + "e10", real(0.0f)},
        {"inf", real(0.0f)},              {"0x10", real(0.0f)},
    };
    // clang-format on
    for (const auto& [text, written] : cases)
        for (const Value& current : {Value::integer(5), Value::real(2.5), Value::boolean(false)})
            EXPECT_EQ(writeText(current, text), written) << text;
}

// ---------------------------------------------------------------- screen geometry

// `in` on `screens` becomes `out`.
template <typename T>
struct Flip {
    std::vector<Rect> screens;
    T in, out;
};

TEST_F(UIElementTest, ScreenPointsMirrorInTheLastScreenThatHoldsThemAndRectanglesFlipAboutTheFirst) {
    const std::vector<Rect> one = {{0, 0, 1440, 900}}, overlapping = {{0, 0, 1440, 900}, {0, 0, 800, 600}};
    // clang-format off
    const Flip<Point> points[] = {
        {one, {10.25, 0.75}, {10.25, 898.25}},  {one, {100, 900}, {0, 0}},  // on the largest edge: outside
        {overlapping, {100, 100}, {100, 499}},  {overlapping, {1000, 0}, {1000, 899}},
    };
    // clang-format on
    for (const auto& c : points) {
        desktop.screens() = c.screens;
        EXPECT_EQ(U::carbonScreenPointFromCocoaScreenPoint(screens, c.in), c.out) << c.in.x << "," << c.in.y;
    }
    // clang-format off
    const Flip<Rect> rects[] = {
        {{{0, 0, 1440, 900}, {0, 0, 5000, 5000}}, {0, 25, 800, 600}, {0, 275, 800, 600}},
        {{}, {3, 25, 800, 600}, {3, -625, 800, 600}},
        {{{0, 0, 100, 16777217}}, {0, 0, 10, 1}, {0, 16777215, 10, 1}},  // the edge as a float: 2^24
    };
    // clang-format on
    for (const auto& c : rects) {
        desktop.screens() = c.screens;
        EXPECT_EQ(U::flippedScreenBounds(screens, c.in), c.out);
        EXPECT_EQ(U::flippedScreenBounds(screens, c.out), c.in) << "flipping twice gives it back";
    }
}

TEST_F(UIElementTest, FrameIsPositionAndSizeInTheScreensConventionOrZero) {
    desktop.screens() = {{0, 0, 1440, 900}};
    const Value point(AXValue::point({10, 20})), size(AXValue::size({300, 200}));
    // Position and size, none when not listed.
    // clang-format off
    const std::pair<std::optional<Value>, std::optional<Value>> unusable[] = {
        {point, std::nullopt}, {std::nullopt, size}, {Value("x=10 y=20"), size}, {size, size}, {point, point},
    };
    // clang-format on
    for (const auto& [position, extent] : unusable) {
        auto e = withRole("AXWindow");
        if (position) e->setAttribute("AXPosition", *position);
        if (extent) e->setAttribute("AXSize", *extent);
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
