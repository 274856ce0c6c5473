// The event-fed mirror against a full survey of the X server, after a seeded random run
// of the changes clients and the window manager make.
#include "XTestSupport.h"
#include "platform/linux/x11/X11Core.h"

#include <gtest/gtest.h>
#include <xcb/xcb_icccm.h>

#include <functional>
#include <random>

namespace tarvolin {
namespace {

using testing::TestClient;
using testing::XvfbDesktop;
using namespace x11;

struct Inventory {
    ClientList clients;
    std::vector<WindowFacts> windows;
    bool operator==(const Inventory&) const = default;
};

// What a survey of the server finds now, read on its own connection.
Inventory surveyed(Connection& c) {
    Inventory out{readClientList(c), {}};
    out.windows = survey(c, out.clients.frontFirst, kWantAll).windows;
    return out;
}

Inventory mirrored(Core& core) {
    core.fresh();
    Inventory out{core.mirror().clients(), {}};
    for (const WindowFacts* f : core.mirror().frontFirst()) out.windows.push_back(*f);
    return out;
}

TEST(MirrorDifferential, MatchesAFullSurveyThroughARandomRunOfChanges) {
    std::string error;
    auto session = XvfbDesktop::start({.sessionBus = false}, error);
    ASSERT_TRUE(session) << error;
    auto core = std::make_shared<Core>(Connection::open(session->display().c_str(), error));
    auto reference = Connection::open(session->display().c_str(), error);
    ASSERT_TRUE(reference) << error;
    int heard = 0;
    reference->onEvent([&](const xcb_generic_event_t&) { ++heard; });

    std::vector<TestClient> clients;
    std::vector<xcb_window_t> windows;
    auto startClient = [&](int n, std::vector<std::string> extra) {
        std::vector<std::vector<std::string>> args;
        for (int k = 0; k < n; ++k) {
            args.push_back({"--title", "w" + std::to_string(windows.size() + k), "--geometry",
                            "90x60+" + std::to_string(40 * k) + "+" + std::to_string(30 * k)});
            args.back().insert(args.back().end(), extra.begin(), extra.end());
        }
        auto c = testing::startClient(*session, args, error);
        ASSERT_TRUE(c) << error;
        windows.insert(windows.end(), c->windows.begin(), c->windows.end());
        clients.push_back(std::move(*c));
    };
    startClient(6, {"--icon", "2x2:ff00ff00"});
    mirrored(*core);  // the mirror exists before most of the windows: later ones come by events
    startClient(5, {"--no-pid", "--unclosable"});

    xcb_connection_t* x = session->x().xcb();
    const xcb_window_t root = session->x().root();
    auto toRoot = [&](xcb_window_t w, const char* type, std::vector<std::uint32_t> data) {
        xcb_client_message_event_t ev{};
        ev.response_type = XCB_CLIENT_MESSAGE;
        ev.format = 32;
        ev.window = w;
        ev.type = session->x().atom(type);
        std::copy(data.begin(), data.end(), ev.data.data32);
        xcb_send_event(x, 0, root, XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                       reinterpret_cast<const char*>(&ev));
    };
    auto put = [&](xcb_window_t w, const char* prop, const char* type, std::vector<std::uint32_t> v) {
        xcb_change_property(x, XCB_PROP_MODE_REPLACE, w, session->x().atom(prop), session->x().atom(type), 32,
                            static_cast<std::uint32_t>(v.size()), v.data());
    };
    auto putText = [&](xcb_window_t w, xcb_atom_t prop, const std::string& text) {
        xcb_change_property(x, XCB_PROP_MODE_REPLACE, w, prop, XCB_ATOM_STRING, 8,
                            static_cast<std::uint32_t>(text.size()), text.data());
    };
    auto drop = [&](xcb_window_t w, const char* prop) { xcb_delete_property(x, w, session->x().atom(prop)); };
    const char* types[] = {"_NET_WM_WINDOW_TYPE_NORMAL", "_NET_WM_WINDOW_TYPE_DIALOG",
                           "_NET_WM_WINDOW_TYPE_UTILITY", "_NET_WM_WINDOW_TYPE_TOOLBAR"};
    using Change = std::function<void(xcb_window_t, std::uint32_t)>;
    const std::vector<Change> changes = {
        [&](auto w, auto) { xcb_map_window(x, w); },
        [&](auto w, auto) { xcb_unmap_window(x, w); },
        [&](auto w, auto n) { n % 4 ? void() : void(xcb_destroy_window(x, w)); },
        [&](auto w, auto n) {
            putText(w, session->x().atom("_NET_WM_NAME"), "retitled " + std::to_string(n));
        },
        [&](auto w, auto n) { put(w, "_NET_WM_WINDOW_TYPE", "ATOM", {session->x().atom(types[n % 4])}); },
        [&](auto w, auto n) { put(w, "_NET_WM_WINDOW_OPACITY", "CARDINAL", {n * 4294967u}); },
        [&](auto w, auto) { drop(w, "_NET_WM_WINDOW_OPACITY"); },
        [&](auto w, auto n) {
            toRoot(w, n % 2 ? "_NET_ACTIVE_WINDOW" : "_NET_RESTACK_WINDOW", {2, 0, 0});
        },
        [&](auto w, auto n) {
            const std::uint32_t xy[] = {n % 700, (n * 7) % 500};
            xcb_configure_window(x, w, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, xy);
        },
        [&](auto w, auto n) {
            toRoot(w, "_NET_WM_DESKTOP", {n % 2, 2});
        },
        [&](auto, auto n) {
            toRoot(XCB_NONE, "_NET_CURRENT_DESKTOP", {n % 2, XCB_CURRENT_TIME});
        },
        [&](auto w, auto) { toRoot(w, "WM_CHANGE_STATE", {XCB_ICCCM_WM_STATE_ICONIC}); },
        [&](auto w, auto n) {
            putText(w, XCB_ATOM_WM_CLASS, std::string("i\0C", 3) + std::to_string(n % 3) + '\0');
        },
        [&](auto w, auto n) { n % 3 ? put(w, "_NET_WM_PID", "CARDINAL", {n + 2}) : drop(w, "_NET_WM_PID"); },
    };

    std::mt19937 random(11);
    auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random); };
    for (int step = 1; step <= 90; ++step) {
        const xcb_window_t w = windows[pick(windows.size())];
        const auto n = static_cast<std::uint32_t>(pick(1000));
        const size_t op = pick(changes.size());
        changes[op](w, n);
        xcb_flush(x);
        if (step == 45) startClient(3, {"--title", "late"});  // new windows while it watches
        if (step % 3) continue;

        // Compared once the server holds still across the mirror's sync: the reference hears of
        // every change in between, also of one undone before its second survey.
        const std::uint32_t rootMask = XCB_EVENT_MASK_PROPERTY_CHANGE | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(reference->xcb(), root, XCB_CW_EVENT_MASK, &rootMask);
        const std::uint32_t windowMask = XCB_EVENT_MASK_PROPERTY_CHANGE | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
        for (xcb_window_t each : windows)
            xcb_change_window_attributes(reference->xcb(), each, XCB_CW_EVENT_MASK, &windowMask);
        bool compared = false;
        for (int attempt = 0; attempt < 100 && !compared; ++attempt) {
            reference->processEvents();
            heard = 0;
            Inventory before = surveyed(*reference);
            Inventory mirror = mirrored(*core);
            if (surveyed(*reference) != before || (reference->processEvents(), heard > 0)) continue;
            compared = true;
            EXPECT_TRUE(mirror == before) << "step " << step;
        }
        ASSERT_TRUE(compared) << "the desktop never held still";
        if (::testing::Test::HasFailure()) return;  // the first difference tells; later ones follow from it
    }
    EXPECT_EQ(core->conn().unexpectedErrors(), 0u) << core->conn().lastUnexpectedError();
    for (auto it = clients.rbegin(); it != clients.rend(); ++it) testing::stopClient(*session, *it);
}

}  // namespace
}  // namespace tarvolin
