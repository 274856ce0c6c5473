#include "accessibility/UIElementUtilities.h"

#include "platform/sim/SimDesktop.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

namespace tarvolin {
namespace {

using U = UIElementUtilities;

constexpr std::int32_t kPid = 42;

AXResult<Value> answer(Value v) { return AXResult<Value>::success(std::move(v)); }

class UIElementReportsTest : public ::testing::Test {
protected:
    sim::SimDesktop desktop;
    Screens& screens = desktop.startProcess(1).platform().screens;

    std::shared_ptr<sim::SimElement> withRole(std::string role, std::optional<std::string> title = {}) {
        auto e = desktop.makeElement(kPid, role);
        e->setAttribute("AXRole", Value(role));
        if (title) e->setAttribute("AXTitle", Value(*title));
        return e;
    }
    AXElement handle(const std::shared_ptr<sim::SimElement>& e) { return desktop.handle(e); }
    // `child` answers AXParent with a fresh handle of `parent` on every request.
    void setParent(const std::shared_ptr<sim::SimElement>& child,
                   const std::shared_ptr<sim::SimElement>& parent) {
        std::weak_ptr<sim::SimElement> weak = parent;
        child->attributes.push_back(
            {"AXParent", [this, weak] { return answer(handle(weak.lock())); }, {}, {}});
    }
};

// ---------------------------------------------------------------- lineage

TEST_F(UIElementReportsTest, LineageRunsFromTheRootDownWithOneMoreBlankPerLevel) {
    auto app = withRole("AXApplication", "Editor");
    auto win = withRole("AXWindow", "Untitled");
    auto button = withRole("AXButton");
    setParent(win, app);
    setParent(button, win);

    EXPECT_EQ(U::lineageOfUIElement(handle(win)),
              (std::vector<std::string>{"<AXApplication: \u201CEditor\u201D>",
                                        "<AXWindow: \u201CUntitled\u201D>"}));
    EXPECT_EQ(U::lineageDescriptionOfUIElement(handle(button)),
              "<AXApplication: \u201CEditor\u201D>\n <AXWindow: \u201CUntitled\u201D>\n  <AXButton>\n");
    EXPECT_EQ(U::lineageOfUIElement(handle(app)),
              (std::vector<std::string>{"<AXApplication: \u201CEditor\u201D>"}));
    EXPECT_EQ(U::lineageDescriptionOfUIElement(handle(app)), "<AXApplication: \u201CEditor\u201D>\n");
    desktop.addApplication(7, "Editor");
    desktop.addWindow({.pid = 7, .number = 5, .title = "Untitled"});
    EXPECT_EQ(U::lineageDescriptionOfUIElement(desktop.handle(desktop.window(5)->element)),
              "<AXApplication: \u201CEditor\u201D>\n <AXWindow: \u201CUntitled\u201D>\n");
}

TEST_F(UIElementReportsTest, LineageEndsWhereNoParentElementIsFound) {
    auto odd = withRole("AXGroup");
    odd->setAttribute("AXParent", Value("not an element"));
    auto nullParent = withRole("AXGroup");
    nullParent->setAttribute("AXParent", Value(AXElement()));
    auto app = withRole("AXApplication", "Editor");
    auto unreadable = withRole("AXWindow", "Doc");
    setParent(unreadable, app);
    unreadable->failNames = true;  // no name list, so no parent is found

    EXPECT_EQ(U::lineageOfUIElement(handle(odd)), (std::vector<std::string>{"<AXGroup>"}));
    EXPECT_EQ(U::lineageOfUIElement(handle(nullParent)), (std::vector<std::string>{"<AXGroup>"}));
    EXPECT_EQ(U::lineageOfUIElement(handle(unreadable)), (std::vector<std::string>{"<AXWindow>"}));
    desktop.setProcessResponsive(kPid, false);
    EXPECT_EQ(U::lineageDescriptionOfUIElement(handle(unreadable)), "<AXUIElement AXWindow>\n");
}

TEST_F(UIElementReportsTest, ParentChainThatLoopsBackOnTheSameHandlesStops) {
    auto a = withRole("AXGroup", "a");
    auto b = withRole("AXGroup", "b");
    AXElement ha = handle(a);
    AXElement hb = handle(b);
    // The handles live in the test, so the elements do not keep each other alive.
    a->attributes.push_back({"AXParent", [&hb] { return answer(hb); }, {}, {}});
    b->attributes.push_back({"AXParent", [&ha] { return answer(ha); }, {}, {}});

    EXPECT_EQ(U::lineageOfUIElement(ha),
              (std::vector<std::string>{"<AXGroup: \u201Cb\u201D>", "<AXGroup: \u201Ca\u201D>"}));
    auto self = withRole("AXGroup", "self");
    AXElement hs = handle(self);
    self->attributes.push_back({"AXParent", [&hs] { return answer(hs); }, {}, {}});
    EXPECT_EQ(U::lineageOfUIElement(hs).size(), 1u);
}

TEST_F(UIElementReportsTest, ParentChainThatLoopsThroughFreshHandlesStopsAtTheDepthBound) {
    auto a = withRole("AXGroup", "a");
    auto b = withRole("AXGroup", "b");
    setParent(a, b);
    setParent(b, a);
    const auto lineage = U::lineageOfUIElement(handle(a));
    ASSERT_EQ(lineage.size(), 256u);
    EXPECT_EQ(lineage.back(), "<AXGroup: \u201Ca\u201D>");
    EXPECT_EQ(lineage.front(), "<AXGroup: \u201Cb\u201D>");
    EXPECT_EQ(a->liveHandles + b->liveHandles, 0);
    const std::string text = U::lineageDescriptionOfUIElement(handle(a));
    EXPECT_TRUE(text.starts_with("<AXGroup: \u201Cb\u201D>\n <AXGroup: \u201Ca\u201D>\n"));
    EXPECT_TRUE(text.ends_with("\n" + std::string(255, ' ') + "<AXGroup: \u201Ca\u201D>\n"));
}

// ---------------------------------------------------------------- report

TEST_F(UIElementReportsTest, ReportHasLineageAttributesWithWritableMarksAndActions) {
    auto app = withRole("AXApplication", "Editor");
    auto win = withRole("AXWindow", "Untitled");
    setParent(win, app);
    win->setAttribute("AXPosition", Value(AXValue::point({10, 20.5})), true);
    win->setAttribute("AXSubrole", std::nullopt);
    win->attributes.push_back({"AXChildren", [] { return answer(Value::array({})); }, {}, {}});
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
              "   AXChildren:  \u201C<array of size 0>\u201D\n"
              "\n"
              "Actions:\n"
              "   AXRaise - raise\n"
              "   AXPress - \n");
}

TEST_F(UIElementReportsTest, ReportLeavesOutMissingOrEmptySections) {
    // No actions, whether the list is empty or cannot be read: no Actions section.
    auto bare = withRole("AXGroup");
    const std::string attributesOnly = "<AXGroup>\n\nAttributes:\n   AXRole:  \u201CAXGroup\u201D\n";
    EXPECT_EQ(U::stringDescriptionOfUIElement(handle(bare)), attributesOnly);
    bare->failActions = true;
    EXPECT_EQ(U::stringDescriptionOfUIElement(handle(bare)), attributesOnly);

    // Neither names nor actions: the lineage alone.
    auto silent = desktop.makeElement(kPid, "silent");
    EXPECT_EQ(U::stringDescriptionOfUIElement(handle(silent)), "<AXUIElement silent>\n");
    silent->failNames = true;
    silent->failActions = true;
    EXPECT_EQ(U::stringDescriptionOfUIElement(handle(silent)), "<AXUIElement silent>\n");

    auto onlyActions = desktop.makeElement(kPid, "actor");
    onlyActions->failNames = true;
    onlyActions->addAction("AXPress", "press");
    EXPECT_EQ(U::stringDescriptionOfUIElement(handle(onlyActions)),
              "<AXUIElement actor>\n\nActions:\n   AXPress - press\n");
}

TEST_F(UIElementReportsTest, DescriptionAttributeFallsBackToNoDescription) {
    struct Case {
        std::optional<Value> value;  // none: listed without a value
        bool listed;
        const char* text;
    };
    const Case cases[] = {
        {Value("Close button"), true, "Close button"},
        {Value(""), true, "No Description"},
        {std::nullopt, true, "No Description"},
        {Value("never read"), false, "No Description"},
        {Value::integer(0), true, "0"},
    };
    for (const auto& c : cases) {
        auto e = withRole("AXButton");
        if (c.listed) e->setAttribute("AXDescription", c.value);
        EXPECT_EQ(U::descriptionOfAXDescriptionOfUIElement(handle(e)), c.text);
    }
}

// ---------------------------------------------------------------- writing from text

struct Written {
    int writes = 0;
    std::optional<Value> last;
};

class SetStringValueTest : public UIElementReportsTest {
protected:
    // An element whose attribute "AXTarget" holds `current` and records what is written to it.
    AXElement target(std::optional<Value> current, Written& written) {
        auto e = desktop.makeElement(kPid, "target");
        e->attributes.push_back({"AXTarget",
                                 [current] { return AXResult<Value>::success(current); },
                                 {},
                                 [&written](const Value& v) {
                                     ++written.writes;
                                     written.last = v;
                                     return AXError::success;
                                 }});
        elements.push_back(e);
        return handle(e);
    }
    std::optional<Value> writeText(std::optional<Value> current, std::string_view text) {
        Written written;
        U::setStringValue(text, "AXTarget", target(std::move(current), written));
        EXPECT_LE(written.writes, 1);
        return written.last;
    }
    std::vector<std::shared_ptr<sim::SimElement>> elements;
};

Value real(float f) { return Value::real(static_cast<double>(f)); }

TEST_F(SetStringValueTest, GeometryTextsAreParsedAgainstTheirPattern) {
    const Value point(AXValue::point({5, 5}));
    const Value size(AXValue::size({5, 5}));
    const Value rect(AXValue::rect({5, 5, 5, 5}));
    const Value range(AXValue::range({5, 5}));
    struct Case {
        Value current;
        const char* text;
        std::optional<Value> written;
    };
    // More plain texts in TerseGeometryTextRoundTripsToFloatPrecision.
    const Case cases[] = {
        {point, "x=  1  y=\t2", Value(AXValue::point({1, 2}))},  // blanks match any run of white space
        {point, "x=1y=2", Value(AXValue::point({1, 2}))},        // ... including none
        {point, "x=1 y=2 trailing", Value(AXValue::point({1, 2}))},
        {size, "w=800 h=600", Value(AXValue::size({800, 600}))},
        {rect, "x=0 y=25 w=800 h=600", Value(AXValue::rect({0, 25, 800, 600}))},
        {range, "pos=-7 len=9223372036854775807",
         Value(AXValue::range({-7, std::numeric_limits<std::int64_t>::max()}))},
    };
    for (const auto& c : cases) EXPECT_EQ(writeText(c.current, c.text), c.written) << c.text;
    // A text that does not supply every number writes nothing; the literal must come first.
    for (const char* text : {"x=10", "x=10 z=20", "", "  x=1 y=2", "w=1 h=2"})
        EXPECT_EQ(writeText(point, text), std::nullopt) << text;
    EXPECT_EQ(writeText(size, "x=1 y=2"), std::nullopt);
    EXPECT_EQ(writeText(rect, "x=1 y=2 w=3"), std::nullopt);
    for (const char* text : {"pos=1.5 len=2", "pos=1"})
        EXPECT_EQ(writeText(range, text), std::nullopt) << text;
}

TEST_F(SetStringValueTest, NumbersTakeTheLeadingDecimalAsAFloat) {
    constexpr float inf = std::numeric_limits<float>::infinity();
    struct Case {
        const char* text;
        Value written;
    };
    const Case cases[] = {
        {"3.75", real(3.75f)},   {"  \t\n3.75abc", real(3.75f)},
        {"0.1", real(0.1f)},     {"-2.5e-1", real(-0.25f)},
        {"1E3x", real(1000.0f)}, {"+7", real(7.0f)},
        {".5", real(0.5f)},      {"5.", real(5.0f)},
        {"12e", real(12.0f)},    {"12e+", real(12.0f)},
        {"-0", real(-0.0f)},     {"16777217", real(16777216.0f)},
        {"1e39", real(inf)},     {"-1e999999999999999999999", real(-inf)},
        {"1e-50", real(0.0f)},   {"0.000000000000000000000000000000000000000000000000001", real(0.0f)},
        {"abc", real(0.0f)},     {"", real(0.0f)},
        {"-", real(0.0f)},       {".", real(0.0f)},
        {"inf", real(0.0f)},     {"0x10", real(0.0f)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(writeText(Value::integer(5), c.text), c.written) << c.text;
        EXPECT_EQ(writeText(Value::real(2.5), c.text), c.written) << c.text;
    }
    // A boolean is a boxed number too.
    EXPECT_EQ(writeText(Value::boolean(false), "1"), real(1.0f));
    // Signs survive, negative zero included.
    auto negativeZero = writeText(Value::integer(1), "-0");
    ASSERT_TRUE(negativeZero && negativeZero->asReal());
    EXPECT_TRUE(std::signbit(*negativeZero->asReal()));
}

TEST_F(SetStringValueTest, StringsTakeTheTextUnparsed) {
    for (const char* text : {"new text", "x=1 y=2", ""})
        EXPECT_EQ(writeText(Value("old"), text), Value(text));
}

TEST_F(SetStringValueTest, OtherValuesAreLeftAlone) {
    EXPECT_EQ(writeText(Value::array({Value::integer(1)}), "1"), std::nullopt);
    EXPECT_EQ(writeText(Value::dictionary({}), "1"), std::nullopt);
    EXPECT_EQ(writeText(Value(AXValue::opaque(5)), "x=1 y=2"), std::nullopt);
    EXPECT_EQ(writeText(Value(Url{"file:///"}), "file:///tmp"), std::nullopt);
    EXPECT_EQ(writeText(Value::null(), "1"), std::nullopt);
    EXPECT_EQ(writeText(Value(handle(withRole("AXButton"))), "1"), std::nullopt);
    EXPECT_EQ(writeText(std::nullopt, "1"), std::nullopt);  // listed without a value
}

TEST_F(SetStringValueTest, UnreadableAttributeOrMissingNameWritesNothing) {
    Written written;
    AXElement h = target(Value("old"), written);
    desktop.resetCounters();
    U::setStringValue("new", "", h);
    EXPECT_EQ(desktop.counters().accessibilityRequests(), 0);

    // One read of the current value, one write; no name list.
    U::setStringValue("new", "AXTarget", h);
    EXPECT_EQ(written.writes, 1);
    EXPECT_EQ(desktop.counters().attributeValue, 1);
    EXPECT_EQ(desktop.counters().setAttributeValue, 1);
    EXPECT_EQ(desktop.counters().accessibilityRequests(), 2);

    desktop.setProcessResponsive(kPid, false);
    U::setStringValue("newer", "AXTarget", h);
    EXPECT_EQ(written.writes, 1);
    EXPECT_EQ(desktop.counters().setAttributeValue, 1);
}

TEST_F(SetStringValueTest, TerseGeometryTextRoundTripsToFloatPrecision) {
    auto f = [](double d) { return static_cast<double>(static_cast<float>(d)); };
    const double samples[] = {0.1, 20.5, 1e6, 1e-5, -0.0, 1440, -2.5, 0.333333, 1e-40, 3e38, 65535.5};
    for (double x : samples) {
        for (double y : {0.7, -123.25}) {
            const Value rect(AXValue::rect({x, y, x, y}));
            const std::string text = U::stringDescriptionOfAXValue(*rect.asAXValue(), false);
            EXPECT_EQ(writeText(rect, text), Value(AXValue::rect({f(x), f(y), f(x), f(y)}))) << text;
            const Value point(AXValue::point({x, y}));
            EXPECT_EQ(writeText(point, U::stringDescriptionOfAXValue(*point.asAXValue(), false)),
                      Value(AXValue::point({f(x), f(y)})));
        }
    }
    // The text carries six significant digits, so more precise values come back rounded.
    EXPECT_EQ(writeText(Value(AXValue::size({123456.789, 1})), "w=123457 h=1"),
              Value(AXValue::size({123457, 1})));
    const Value range(AXValue::range({-42, 9}));
    EXPECT_EQ(writeText(range, U::stringDescriptionOfAXValue(*range.asAXValue(), false)), range);
}

// ---------------------------------------------------------------- screen geometry

TEST_F(UIElementReportsTest, ScreenPointsMirrorInTheLastScreenThatHoldsThem) {
    struct Case {
        std::vector<Rect> screens;
        Point in;
        Point out;
    };
    const std::vector<Rect> one = {{0, 0, 1440, 900}};
    const std::vector<Rect> overlapping = {{0, 0, 1440, 900}, {0, 0, 800, 600}};
    const std::vector<Rect> side = {{0, 0, 1440, 900}, {1440, 100, 1920, 1080}};
    const Case cases[] = {
        {one, {100, 0}, {100, 899}},
        {one, {100, 900}, {0, 0}},  // on the largest edge: outside
        {one, {1440, 10}, {0, 0}},
        {one, {-1, 10}, {0, 0}},
        {one, {0, 899.5}, {0, -0.5}},
        {one, {10.25, 0.75}, {10.25, 898.25}},
        {overlapping, {100, 100}, {100, 499}},
        {overlapping, {1000, 100}, {1000, 799}},
        {side, {2000, 500}, {2000, 579}},  // only the found screen's height counts
        {{}, {100, 100}, {0, 0}},
    };
    for (const auto& c : cases) {
        desktop.screens() = c.screens;
        const Point p = U::carbonScreenPointFromCocoaScreenPoint(screens, c.in);
        EXPECT_EQ(p, c.out) << c.in.x << "," << c.in.y << " on " << c.screens.size() << " screens";
    }
}

TEST_F(UIElementReportsTest, RectanglesFlipAboutTheFirstScreensTopEdge) {
    struct Case {
        std::vector<Rect> screens;
        Rect in;
        Rect out;
    };
    const Case cases[] = {
        {{{0, 0, 1440, 900}}, {0, 25, 800, 600}, {0, 275, 800, 600}},
        {{{0, 0, 1440, 900}, {0, 0, 5000, 5000}}, {0, 25, 800, 600}, {0, 275, 800, 600}},
        {{{0, 0, 1440, 900}}, {-10, 1000, 5, 50}, {-10, -150, 5, 50}},
        {{}, {3, 25, 800, 600}, {3, -625, 800, 600}},
        // The top edge is held as a 32-bit float: 2^24 + 1 becomes 2^24.
        {{{0, 0, 100, 16777217}}, {0, 0, 10, 1}, {0, 16777215, 10, 1}},
    };
    for (const auto& c : cases) {
        desktop.screens() = c.screens;
        EXPECT_EQ(U::flippedScreenBounds(screens, c.in), c.out);
        // Flipping twice gives the rectangle back when the edge is exact.
        if (c.screens.size() == 1 && c.screens[0].height == 900) {
            EXPECT_EQ(U::flippedScreenBounds(screens, U::flippedScreenBounds(screens, c.in)), c.in);
        }
    }
}

TEST_F(UIElementReportsTest, FrameIsPositionAndSizeInTheScreensConvention) {
    desktop.screens() = {{0, 0, 1440, 900}};
    auto e = withRole("AXWindow");
    e->setAttribute("AXPosition", Value(AXValue::point({10, 20})));
    e->setAttribute("AXSize", Value(AXValue::size({300, 200})));
    desktop.resetCounters();
    EXPECT_EQ(U::frameOfUIElement(screens, handle(e)), (Rect{10, 680, 300, 200}));
    EXPECT_EQ(desktop.counters().accessibilityRequests(), 4);

    desktop.addApplication(7, "Editor");
    desktop.addWindow({.pid = 7, .number = 9, .title = "Doc", .bounds = {100, 50, 640, 480}});
    EXPECT_EQ(U::frameOfUIElement(screens, desktop.handle(desktop.window(9)->element)),
              (Rect{100, 370, 640, 480}));
}

TEST_F(UIElementReportsTest, FrameWithoutAReadablePositionOrSizeIsZero) {
    desktop.screens() = {{0, 0, 1440, 900}};
    const Value point(AXValue::point({10, 20}));
    const Value size(AXValue::size({300, 200}));
    struct Case {
        std::optional<Value> position;  // none: not listed
        std::optional<Value> size;
    };
    const Case cases[] = {
        {point, std::nullopt},
        {std::nullopt, size},
        {Value("x=10 y=20"), size},
        {point, Value::array({})},
        {size, size},    // a size where the position belongs
        {point, point},  // and a point where the size belongs
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
    auto listedEmpty = withRole("AXWindow");
    listedEmpty->setAttribute("AXPosition", std::nullopt).setAttribute("AXSize", size);
    EXPECT_EQ(U::frameOfUIElement(screens, handle(listedEmpty)), Rect{});
    desktop.setProcessResponsive(kPid, false);
    auto hung = withRole("AXWindow");
    hung->setAttribute("AXPosition", point).setAttribute("AXSize", size);
    EXPECT_EQ(U::frameOfUIElement(screens, handle(hung)), Rect{});
}

}  // namespace
}  // namespace tarvolin
