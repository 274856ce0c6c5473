// The sway tree and IPC stream as the backend reads them, fed by hand-made JSON and bytes.
#include "platform/linux/sway/SwayIpc.h"
#include "platform/linux/sway/SwayTree.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace tarvolin::sway {
namespace {

using nlohmann::json;

// One line per view: id pid app "title" x,y wxh workspace and its flags.
std::string describe(const View& v) {
    std::string s = std::to_string(v.id) + " " + (v.pid ? std::to_string(*v.pid) : "-") + " " +
                    v.app.value_or("-") + " \"" + v.title.value_or("-") + "\" " + std::to_string(v.rect.x) +
                    "," + std::to_string(v.rect.y) + " " + std::to_string(v.rect.width) + "x" +
                    std::to_string(v.rect.height) + " " + v.workspace;
    if (v.scratchpad) s += " scratch";
    if (v.floating) s += " float";
    if (v.focused) s += " focused";
    if (v.opacity) s += " opacity";
    return s;
}

json view(int id, json extra = json::object()) {
    json v = {{"id", id},
              {"type", "con"},
              {"pid", 100 + id},
              {"app_id", "app" + std::to_string(id)},
              {"name", "t" + std::to_string(id)},
              {"rect", {{"x", id}, {"y", 2 * id}, {"width", 10}, {"height", 20}}},
              {"nodes", json::array()}};
    v.update(extra);
    return v;
}

json workspace(const std::string& name, json nodes, json focus, json floating = json::array()) {
    return {{"id", std::hash<std::string>{}(name) % 1000 + 1000},
            {"type", "workspace"},
            {"name", name},
            {"nodes", nodes},
            {"floating_nodes", floating},
            {"focus", focus}};
}

json root(json outputs, json focus) {
    return {{"id", 1}, {"type", "root"}, {"nodes", outputs}, {"focus", focus}};
}

TEST(SwayTree, ViewsFrontFirstWithTheirFacts) {
    const json split = {{"id", 50}, {"type", "con"}, {"nodes", {view(5), view(6)}}, {"focus", {6, 5}}};
    const json xwayland = view(7, {{"app_id", nullptr},
                                   {"window_properties", {{"class", "XTerm"}}},
                                   {"name", nullptr},
                                   {"type", "floating_con"},
                                   {"focused", true}});
    const json ws1 =
        workspace("1", {view(3, {{"deco_rect", {{"x", 0}, {"y", 0}, {"width", 10}, {"height", 25}}}}), split},
                  {50, 3}, {xwayland});
    const json ws2 = workspace("2", {view(4, {{"opacity", 0.5}})}, {});
    const json output = {
        {"id", 20}, {"type", "output"}, {"nodes", {ws2, ws1}}, {"focus", {ws1["id"], ws2["id"]}}};
    const json scratch = {
        {"id", 10},
        {"type", "output"},
        {"name", "__i3"},
        {"nodes", {workspace("__i3_scratch", json::array(), {}, {view(8, {{"type", "floating_con"}})})}}};
    struct Case {
        const char* name;
        json tree;
        std::vector<std::string> views;
    } cases[] = {
        {"focus lists order every level, unfocused children follow in tree order",
         root({scratch, output}, {20}),
         {"7 107 XTerm \"-\" 7,14 10x20 1 float focused", "6 106 app6 \"t6\" 6,12 10x20 1",
          "5 105 app5 \"t5\" 5,10 10x20 1", "3 103 app3 \"t3\" 3,-19 10x45 1",
          "4 104 app4 \"t4\" 4,8 10x20 2 opacity",
          "8 108 app8 \"t8\" 8,16 10x20 __i3_scratch scratch float"}},
        {"focus entries that are not children or not numbers are skipped",
         root({output}, {"x", 99, 20}),
         {"7 107 XTerm \"-\" 7,14 10x20 1 float focused", "6 106 app6 \"t6\" 6,12 10x20 1",
          "5 105 app5 \"t5\" 5,10 10x20 1", "3 103 app3 \"t3\" 3,-19 10x45 1",
          "4 104 app4 \"t4\" 4,8 10x20 2 opacity"}},
        {"odd values: no pid, a pid out of range, a negative size, no rect, no id",
         root({{{"id", 20},
                {"type", "output"},
                {"nodes",
                 {workspace("w",
                            {view(1, {{"pid", nullptr}}), view(2, {{"pid", 5000000000}}),
                             view(3, {{"rect", {{"x", -4}, {"y", 0}, {"width", -1}, {"height", 7}}}}),
                             view(4, {{"rect", "none"}}), view(5, {{"id", "five"}})},
                            {})}}}},
              {}),
         {"1 - app1 \"t1\" 1,2 10x20 w", "2 - app2 \"t2\" 2,4 10x20 w", "3 103 app3 \"t3\" -4,0 0x7 w",
          "4 104 app4 \"t4\" 0,0 0x0 w"}},
        {"not a tree", json::array({1, 2}), {}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> got;
        for (const View& v : viewsOf(c.tree)) got.push_back(describe(v));
        EXPECT_EQ(got, c.views) << c.name;
    }
}

TEST(SwayTree, OutputsAndScreens) {
    auto output = [](const char* name, int x, int y, int w, int h, bool focused, bool active = true) {
        return json{{"name", name},
                    {"active", active},
                    {"focused", focused},
                    {"rect", {{"x", x}, {"y", y}, {"width", w}, {"height", h}}}};
    };
    struct Case {
        json outputs;
        std::vector<std::string> names;
        std::vector<Rect> frames;
    } cases[] = {
        {json::array({output("A", 0, 0, 1920, 1080, false), output("B", 1920, 200, 1280, 800, true),
                      output("off", 0, 0, 640, 480, false, false)}),
         {"B", "A"},
         {{0, 0, 1280, 800}, {-1920, -80, 1920, 1080}}},
        {json::array({output("A", 100, 50, 800, 600, false), output("B", 900, 50, 800, 600, false)}),
         {"A", "B"},
         {{0, 0, 800, 600}, {800, 0, 800, 600}}},
        {json::object(), {}, {}},
    };
    for (const Case& c : cases) {
        auto outputs = outputsOf(c.outputs);
        std::vector<std::string> names;
        for (const Output& o : outputs) names.push_back(o.name);
        EXPECT_EQ(names, c.names) << c.outputs;
        EXPECT_EQ(screenFrames(outputs), c.frames) << c.outputs;
    }
    Layout l{{}, outputsOf(cases[0].outputs)};
    EXPECT_EQ(l.originX(), 1920);
    EXPECT_EQ(l.originY(), 200);
    EXPECT_THROW(parseLayout("{", "[]"), nlohmann::json::exception);
}

TEST(SwayIpc, MessagesSplitAnywhereComeOutWholeAndBadStreamsStop) {
    const std::string a = encodeMessage(4, "[1]"), b = encodeMessage(kEventBit | 3, "{}");
    for (size_t cut = 0; cut <= a.size() + b.size(); ++cut) {
        MessageDecoder d;
        const std::string both = a + b;
        d.feed(std::string_view(both).substr(0, cut));
        std::vector<std::string> got;
        while (auto m = d.next()) got.push_back(std::to_string(m->type) + ":" + m->payload);
        d.feed(std::string_view(both).substr(cut));
        while (auto m = d.next()) got.push_back(std::to_string(m->type) + ":" + m->payload);
        EXPECT_EQ(got, (std::vector<std::string>{"4:[1]", std::to_string(kEventBit | 3) + ":{}"})) << cut;
    }
    std::string huge = encodeMessage(0, "");
    huge[6] = huge[7] = huge[8] = huge[9] = '\xff';
    for (const std::string& bad : {std::string("i3-ipX") + std::string(8, '\0'), huge}) {
        MessageDecoder d;
        d.feed(bad + a);
        EXPECT_FALSE(d.next());
        EXPECT_TRUE(d.corrupt());
    }
}

}  // namespace
}  // namespace tarvolin::sway
