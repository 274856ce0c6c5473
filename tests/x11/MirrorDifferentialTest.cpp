// The event-fed mirror against a full survey of the X server, after a seeded random run
// of the changes clients and the window manager make.
#include "XFixture.h"
#include "platform/linux/x11/X11Core.h"

#include <gtest/gtest.h>
#include <xcb/xcb_icccm.h>

#include <cstdlib>
#include <random>
#include <sstream>

namespace tarvolin {
namespace {

using testing::TestClient;
using testing::XSession;
using namespace x11;

std::string described(const WindowFacts& f) {
    std::ostringstream o;
    auto opt = [&](const char* name, const auto& v) {
        o << name << '=';
        if (v) o << *v;
        o << ' ';
    };
    auto atoms = [&](const char* name, const std::vector<xcb_atom_t>& v) {
        o << name << "=[";
        for (auto a : v) o << a << ',';
        o << "] ";
    };
    o << "window " << f.id << ": ";
    opt("pid", f.pid), opt("title", f.title), opt("class", f.wmClass), opt("alpha", f.alpha);
    opt("desktop", f.desktop);
    atoms("types", f.types), atoms("states", f.states), atoms("allowed", f.allowedActions);
    atoms("protocols", f.protocols);
    o << "allowedKnown=" << f.allowedActionsKnown << " icon=" << f.hasIcon << " parent=" << f.parent
      << " frame=";
    if (f.frame)
        o << f.frame->x << ',' << f.frame->y << ' ' << f.frame->width << 'x' << f.frame->height << " ext "
          << f.frame->extents.left << ',' << f.frame->extents.right << ',' << f.frame->extents.top << ','
          << f.frame->extents.bottom;
    return o.str();
}

struct Inventory {
    ClientList clients;
    std::vector<std::string> windows;
    bool operator==(const Inventory&) const = default;
};

// What a survey of the server finds now, read on its own connection.
Inventory surveyed(Connection& c) {
    Inventory out{readClientList(c), {}};
    for (const WindowFacts& f : survey(c, out.clients.frontFirst, kWantAll).windows)
        out.windows.push_back(described(f));
    return out;
}

Inventory mirrored(Core& core) {
    core.fresh();
    Inventory out{core.mirror().clients(), {}};
    for (const WindowFacts* f : core.mirror().frontFirst()) out.windows.push_back(described(*f));
    return out;
}

TEST(MirrorDifferential, MatchesAFullSurveyThroughARandomRunOfChanges) {
    std::string error;
    auto session = XSession::start(error);
    ASSERT_TRUE(session) << error;
    auto core = std::make_shared<Core>(Connection::open(session->display().c_str(), error));
    auto reference = Connection::open(session->display().c_str(), error);
    ASSERT_TRUE(reference) << error;

    std::vector<TestClient> clients;
    std::vector<xcb_window_t> windows;
    auto startClient = [&](int n, std::vector<std::string> extra) {
        std::vector<std::string> args;
        for (int k = 0; k < n; ++k) {
            args.insert(args.end(),
                        {"--window", "--title", "w" + std::to_string(windows.size() + k), "--geometry",
                         "90x60+" + std::to_string(40 * k) + "+" + std::to_string(30 * k)});
            args.insert(args.end(), extra.begin(), extra.end());
        }
        auto c = session->startClient(args, error);
        ASSERT_TRUE(c) << error;
        windows.insert(windows.end(), c->windows.begin(), c->windows.end());
        clients.push_back(std::move(*c));
    };
    startClient(6, {"--icon", "2x2:ff00ff00"});
    mirrored(*core);  // the mirror exists before most of the windows: later ones come by events
    startClient(5, {"--no-pid", "--unclosable"});

    xcb_connection_t* x = session->xcb();
    const xcb_window_t root = session->root();
    auto toRoot = [&](xcb_window_t w, const char* type, std::vector<std::uint32_t> data) {
        xcb_client_message_event_t ev{};
        ev.response_type = XCB_CLIENT_MESSAGE;
        ev.format = 32;
        ev.window = w;
        ev.type = session->atom(type);
        std::copy(data.begin(), data.end(), ev.data.data32);
        xcb_send_event(x, 0, root, XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                       reinterpret_cast<const char*>(&ev));
    };
    auto set32 = [&](xcb_window_t w, const char* prop, xcb_atom_t type, std::vector<std::uint32_t> v) {
        xcb_change_property(x, XCB_PROP_MODE_REPLACE, w, session->atom(prop), type, 32,
                            static_cast<std::uint32_t>(v.size()), v.data());
    };
    auto setText = [&](xcb_window_t w, const char* prop, const std::string& text) {
        xcb_change_property(x, XCB_PROP_MODE_REPLACE, w, session->atom(prop), session->atom("UTF8_STRING"), 8,
                            static_cast<std::uint32_t>(text.size()), text.data());
    };
    const char* types[] = {"_NET_WM_WINDOW_TYPE_NORMAL", "_NET_WM_WINDOW_TYPE_DIALOG",
                           "_NET_WM_WINDOW_TYPE_UTILITY", "_NET_WM_WINDOW_TYPE_TOOLBAR"};

    // TARVOLIN_MIRROR_SEED replays another run.
    const char* seedText = std::getenv("TARVOLIN_MIRROR_SEED");
    const unsigned seed = seedText ? static_cast<unsigned>(std::strtoul(seedText, nullptr, 10)) : 11;
    std::mt19937 random(seed);
    auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random); };
    std::vector<std::string> done;
    for (int step = 1; step <= 90; ++step) {
        const xcb_window_t w = windows[pick(windows.size())];
        const auto n = static_cast<std::uint32_t>(pick(1000));
        const size_t op = pick(14);
        done.push_back(std::to_string(op) + "@" + std::to_string(w));
        switch (op) {
            case 0:
                xcb_map_window(x, w);
                break;
            case 1:
                xcb_unmap_window(x, w);
                break;
            case 2:
                if (step % 4 == 0) xcb_destroy_window(x, w);
                break;
            case 3:
                setText(w, "_NET_WM_NAME", "retitled " + std::to_string(n));
                break;
            case 4:
                set32(w, "_NET_WM_WINDOW_TYPE", XCB_ATOM_ATOM, {session->atom(types[n % 4])});
                break;
            case 5:
                set32(w, "_NET_WM_WINDOW_OPACITY", XCB_ATOM_CARDINAL, {n * 4294967u});
                break;
            case 6:
                xcb_delete_property(x, w, session->atom("_NET_WM_WINDOW_OPACITY"));
                break;
            case 7:
                toRoot(w, n % 2 ? "_NET_ACTIVE_WINDOW" : "_NET_RESTACK_WINDOW", {2, 0, XCB_STACK_MODE_ABOVE});
                break;
            case 8: {
                const std::uint32_t xy[] = {n % 700, (n * 7) % 500};
                xcb_configure_window(x, w, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, xy);
                break;
            }
            case 9:
                toRoot(w, "_NET_WM_DESKTOP", {n % 2, 2});
                break;
            case 10:
                toRoot(XCB_NONE, "_NET_CURRENT_DESKTOP", {n % 2, XCB_CURRENT_TIME});
                break;
            case 11:
                toRoot(w, "WM_CHANGE_STATE", {XCB_ICCCM_WM_STATE_ICONIC});
                break;
            case 12: {
                std::string cls = std::string("inst") + '\0' + "Class" + std::to_string(n % 3) + '\0';
                xcb_change_property(x, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                                    static_cast<std::uint32_t>(cls.size()), cls.data());
                break;
            }
            case 13:
                if (n % 3)
                    set32(w, "_NET_WM_PID", XCB_ATOM_CARDINAL, {n + 2});
                else
                    xcb_delete_property(x, w, session->atom("_NET_WM_PID"));
                break;
        }
        xcb_flush(x);
        if (step == 45) startClient(3, {"--title", "late"});  // new windows while it watches
        if (step % 3) continue;

        // Compared once the server holds still across the mirror's sync.
        bool compared = false;
        for (int attempt = 0; attempt < 100 && !compared; ++attempt) {
            Inventory before = surveyed(*reference);
            Inventory mirror = mirrored(*core);
            if (surveyed(*reference) != before) continue;
            compared = true;
            EXPECT_EQ(mirror.clients, before.clients) << "seed " << seed << ", step " << step;
            EXPECT_EQ(mirror.windows, before.windows) << "seed " << seed << ", step " << step;
        }
        ASSERT_TRUE(compared) << "the desktop never held still";
        if (::testing::Test::HasFailure()) {
            std::string ops;
            for (const auto& d : done) ops += d + " ";
            FAIL() << "operations so far: " << ops;
        }
    }
    EXPECT_EQ(core->conn().unexpectedErrors(), 0u) << core->conn().lastUnexpectedError();
    for (auto it = clients.rbegin(); it != clients.rend(); ++it) session->stopClient(*it);
}

}  // namespace
}  // namespace tarvolin
