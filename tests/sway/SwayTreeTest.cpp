// The sway tree and IPC stream as the backend reads them, fed by hand-made JSON and bytes.
#include "platform/linux/sway/SwayIpc.h"
#include "platform/linux/sway/SwayTree.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/socket.h>

#include <thread>

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

// A view as sway describes one; `extra` adds or replaces keys.
std::string v(int id, const std::string& extra = "{}") {
    json j = {{"id", id},
              {"type", "con"},
              {"pid", 100 + id},
              {"app_id", "app" + std::to_string(id)},
              {"name", "t" + std::to_string(id)},
              {"rect", {{"x", id}, {"y", 2 * id}, {"width", 10}, {"height", 20}}},
              {"nodes", json::array()}};
    j.update(json::parse(extra));
    return j.dump();
}

TEST(SwayTree, ViewsFrontFirstWithTheirFacts) {
    const std::string ws1 =
        R"({"id":41,"type":"workspace","name":"1","focus":[50,3],"nodes":[)" +
        v(3, R"({"deco_rect":{"height":25}})") + R"(,{"id":50,"type":"con","focus":[6,5],"nodes":[)" + v(5) +
        "," + v(6) + R"(]}],"floating_nodes":[)" +
        v(7,
          R"({"app_id":null,"window_properties":{"class":"XTerm"},"name":null,"type":"floating_con","focused":true})") +
        "]}";
    const std::string ws2 =
        R"({"id":42,"type":"workspace","name":"2","nodes":[)" + v(4, R"({"opacity":0.5})") + "]}";
    const std::string output =
        R"({"id":20,"type":"output","nodes":[)" + ws2 + "," + ws1 + R"(],"focus":[41,42]})";
    const std::string scratch =
        R"({"id":10,"type":"output","name":"__i3","nodes":[{"id":11,"type":"workspace","name":"__i3_scratch","floating_nodes":[)" +
        v(8, R"({"type":"floating_con"})") + "]}]}";
    const std::vector<std::string> frontFirst = {"7 107 XTerm \"-\" 7,14 10x20 1 float focused",
                                                 "6 106 app6 \"t6\" 6,12 10x20 1",
                                                 "5 105 app5 \"t5\" 5,10 10x20 1",
                                                 "3 103 app3 \"t3\" 3,-19 10x45 1",
                                                 "4 104 app4 \"t4\" 4,8 10x20 2 opacity",
                                                 "8 108 app8 \"t8\" 8,16 10x20 __i3_scratch scratch float"};
    auto with = [](int id, const std::string& from, const std::string& to) {
        std::string s = v(id);
        return s.replace(s.find(from), from.size(), to);
    };
    auto nested = [](int depth) {
        std::string tree = R"({"type":"workspace","name":"w","nodes":[)" + v(1) + ",";
        for (int i = 0; i < depth; ++i) tree += R"({"type":"con","nodes":[)";
        tree += v(2);
        for (int i = 0; i < depth; ++i) tree += "]}";
        return tree + "]}";
    };
    const std::string w1 = "1 101 app1 \"t1\" 1,2 10x20 w";
    struct Case {
        const char* name;
        std::string tree;
        std::vector<std::string> views;
    } cases[] = {
        {"focus lists order every level, unfocused children follow in tree order",
         R"({"type":"root","focus":[20],"nodes":[)" + scratch + "," + output + "]}", frontFirst},
        {"focus entries that are not children or not numbers are skipped",
         R"({"type":"root","focus":["x",99,20],"nodes":[)" + output + "]}",
         {frontFirst.begin(), frontFirst.end() - 1}},
        {"odd values: no pid, a negative size, no rect, number-like text; "
         "a number out of range leaves out its view and keeps the rest",
         R"({"type":"workspace","name":"w","nodes":[)" + v(1, R"({"pid":null})") + "," +
             v(3, R"({"rect":{"x":-4,"y":0,"width":-1,"height":7}})") + "," + v(4, R"({"rect":"none"})") +
             "," + v(11, R"({"name":"1e400 \" 1e400"})") + "," +
             with(12, R"("id":12)", R"("id":18446744073709551615)") + "," +
             with(13, R"("id":13)", R"("id":-3)") + "," + with(14, R"("x":14)", R"("x":2147483648)") + "," +
             v(17, R"({"deco_rect":{"height":9223372036854775807}})") + "," +
             with(18, R"("id":18)", R"("id":-1e999)") + "," +
             with(19, R"("id":19,)", R"("id":19,"opacity":1e400,)") + "]}",
         {"1 - app1 \"t1\" 1,2 10x20 w", "3 103 app3 \"t3\" -4,0 0x7 w", "4 104 app4 \"t4\" 0,0 0x0 w",
          "11 111 app11 \"1e400 \" 1e400\" 11,22 10x20 w", "19 119 app19 \"t19\" 19,38 10x20 w"}},
        {"nested as deep as a desktop", nested(100), {w1, "2 102 app2 \"t2\" 2,4 10x20 w"}},
        {"nested beyond any desktop: cut, not overflowing the stack", nested(100000), {w1}},
        {"not a tree", "[1, 2]", {}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> got;
        for (const View& view : parseLayout(c.tree, "[]").views) got.push_back(describe(view));
        EXPECT_EQ(got, c.views) << c.name;
    }
}

TEST(SwayTree, EventsApplyWhatTheyCarryAndAskForTheRest) {
    const std::string scratch = R"({"type":"workspace","name":"__i3_scratch","floating_nodes":[)" +
                                v(4, R"({"type":"floating_con"})") + "]}";
    auto desktop = [&](const std::string& ws1) {
        return parseLayout(R"({"nodes":[{"type":"workspace","name":"1",)" + ws1 + "}," + scratch + "]}",
                           "[]");
    };
    const Layout base = desktop(R"("focus":[1,2,3],"nodes":[)" + v(1, R"({"focused":true})") + "," + v(2) +
                                R"(],"floating_nodes":[)" + v(3, R"({"type":"floating_con"})") + "]");
    auto win = [](const char* change, const std::string& con) {
        return std::string(R"({"change":")") + change + R"(","container":)" + con + "}";
    };
    const auto W = std::uint32_t(EventType::window), S = std::uint32_t(EventType::workspace);
    using enum Effect;
    struct Case {
        std::uint32_t type;
        std::string payload;
        Effect effect;
        std::string views;  // id, focused *, floating f, title and top edge; empty: unchanged
    } cases[] = {
        {W, win("focus", v(3, R"({"name":"T","deco_rect":{"height":25}})")), applied,
         "3*f=T@-19 1=t1@2 2=t2@4 4f=t4@8"},
        {W, win("title", v(3, R"({"name":"X"})")), applied, "1*=t1@2 2=t2@4 3f=X@6 4f=t4@8"},
        {W, win("close", v(3)), applied, "1*=t1@2 2=t2@4 4f=t4@8"},
        {S, R"({"change":"focus","current":{"type":"workspace","nodes":[]}})", needsOutputs,
         "1=t1@2 2=t2@4 3f=t3@6 4f=t4@8"},
        {S, R"({"change":"focus","current":{"type":"workspace","nodes":[)" + v(2) + "]}}", needsOutputs, ""},
        {S, R"({"change":"empty"})", applied, ""},
        {S, R"({"change":"rename"})", needsTree, ""},
        {std::uint32_t(EventType::output), R"({"change":"unspecified"})", needsTree, ""},
        {W, win("focus", v(4)), needsTree, ""},
        {W, win("focus", v(9)), needsTree, ""},
        {W, win("close", v(2)), needsTree, ""},
        {W, win("focus", v(2, R"({"rect":{"x":2147483648}})")), needsTree, ""},
        {W, R"({"change":"focus")", needsTree, ""},
    };
    auto summary = [](const Layout& l) {
        std::string s;
        for (const View& v : l.views)
            s += (s.empty() ? "" : " ") + std::to_string(v.id) + (v.focused ? "*" : "") +
                 (v.floating ? "f" : "") + "=" + v.title.value_or("-") + "@" + std::to_string(v.rect.y);
        return s;
    };
    for (const Case& c : cases) {
        Layout l = base;
        EXPECT_EQ(applyEvent(l, c.type, c.payload), c.effect) << c.payload;
        EXPECT_EQ(summary(l), c.views.empty() ? summary(base) : c.views) << c.payload;
    }
    // A fetched tree keeps the order the events made, new views after the known ones in its focus
    // order, and its focused view in front.
    Layout l = base;
    applyEvent(l, W, win("focus", v(2)));
    adoptTree(l, desktop(R"("focus":[6],"nodes":[)" + v(5) + "," + v(1, R"({"focused":true})") + "," + v(6) +
                         "," + v(2) + "]"));
    EXPECT_EQ(summary(l), "1*=t1@2 2=t2@4 4f=t4@8 6=t6@12 5=t5@10");
}

// An output whose rectangle is beyond 32 bits is left out; the focused one comes first.
TEST(SwayTree, OutputsPrimaryFirst) {
    const Layout l = parseLayout("{}", R"([{"name":"A","rect":{"x":0,"y":0,"width":1920,"height":1080}},
        {"name":"B","focused":true,"rect":{"x":1920,"y":200,"width":1280,"height":800}},
        {"name":"off","active":false,"rect":{"x":0,"y":0,"width":640,"height":480}},
        {"name":"C","focused":true,"rect":{"x":9,"y":-2147483649,"width":9,"height":9}},
        {"name":"D","rect":{"x":9,"y":0,"width":9,"height":2147483647}}])");
    std::vector<std::string> names;
    std::vector<LayoutRect> rects;
    for (const Output& o : l.outputs) names.push_back(o.name), rects.push_back(o.rect);
    EXPECT_EQ(names, (std::vector<std::string>{"B", "A", "D"}));
    EXPECT_EQ(rects,
              (std::vector<LayoutRect>{{1920, 200, 1280, 800}, {0, 0, 1920, 1080}, {9, 0, 9, 2147483647}}));
    EXPECT_TRUE(parseLayout("{}", "{}").outputs.empty());
    EXPECT_THROW(parseLayout("{", "[]"), nlohmann::json::exception);
}

TEST(SwayIpc, MessagesSplitAnywhereComeOutWholeAndBadStreamsStop) {
    const std::string a = encodeMessage(4, "[1]"), b = encodeMessage(kEventBit | 3, "{}");
    for (size_t cut = 0; cut <= a.size() + b.size(); ++cut) {
        MessageDecoder d;
        const std::string both = a + b;
        std::vector<std::string> got;
        for (auto part : {std::string_view(both).substr(0, cut), std::string_view(both).substr(cut)}) {
            d.feed(part);
            while (auto m = d.next()) got.push_back(std::to_string(m->type) + ":" + m->payload);
        }
        EXPECT_EQ(got, (std::vector<std::string>{"4:[1]", std::to_string(kEventBit | 3) + ":{}"})) << cut;
    }
    std::string huge = encodeMessage(0, "");
    huge[6] = huge[7] = huge[8] = huge[9] = '\xff';
    MessageDecoder d;
    d.feed(huge + a);
    EXPECT_FALSE(d.next());
    EXPECT_TRUE(d.corrupt());
}

TEST(SwayIpc, EachWayAPeerFailsBreaksTheConnectionSayingWhy) {
    const std::string event = encodeMessage(kEventBit | 3, "e"), reply = encodeMessage(4, "r");
    enum Then { keep, stopWriting, close, trickle };
    struct Case {
        std::string sent;
        Then then;
        size_t request;
        std::string outcome;
    } cases[] = {
        {event + event + reply + event, keep, 0, "2 events, r, then 1 event"},
        {event, stopWriting, 0, "1 events, sway closed the connection"},
        {"", close, 0, "0 events, writing to sway: Broken pipe"},
        {"", keep, 8u << 20, "0 events, sway does not take requests"},
        {"i3-ipX" + std::string(8, '\0'), keep, 0, "0 events, sway sent a message that cannot be framed"},
        // Each byte well within the limit, the whole reply far beyond it: one deadline for all.
        {reply, trickle, 0, "0 events, sway did not answer within 100 ms"},
    };
    for (const Case& c : cases) {
        int pair[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        UniqueFd peer(pair[1]);
        auto connection = Connection::adopt(UniqueFd(pair[0]), std::chrono::milliseconds(100));
        const std::string now = c.then == trickle ? "" : c.sent;
        ASSERT_EQ(::send(peer.get(), now.data(), now.size(), MSG_NOSIGNAL), ssize_t(now.size()));
        std::thread sway([&] {
            for (char byte : c.then == trickle ? c.sent : "") {
                std::this_thread::sleep_for(std::chrono::milliseconds(40));
                ::send(peer.get(), &byte, 1, MSG_NOSIGNAL);
            }
        });
        if (c.then == stopWriting) ::shutdown(peer.get(), SHUT_WR);
        if (c.then == close) peer.reset();
        int events = 0;
        const auto count = [&](const Message& m) { events += m.isEvent(); };
        auto got = connection->request(MessageType::getTree, std::string(c.request, ' '), count);
        std::string outcome = std::to_string(events) + " events, " + got.value_or(connection->failure());
        // Events that come after a reply are taken without waiting.
        if (got && connection->drain(count)) outcome += ", then " + std::to_string(events - 2) + " event";
        EXPECT_EQ(outcome, c.outcome);
        EXPECT_EQ(connection->broken(), !got);
        sway.join();
    }
}

}  // namespace
}  // namespace tarvolin::sway
