// tarvolinctl: the companion program of tarvolin-agent. It writes commands to the agent's
// pasteboard or to the shared defaults, keeps the key-label table, and prints the
// notifications the agent posts.
#include "Inspect.h"
#include "Switch.h"
#include "Windows.h"
#include "platform/LocalNotificationCenter.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/desktop/DesktopEntries.h"
#include "platform/linux/session/AgentInstanceLock.h"
#include "platform/linux/session/FilePasteboard.h"
#include "platform/linux/session/LinuxRunLoop.h"
#include "platform/linux/session/NotificationBus.h"
#include "platform/linux/session/PlistUserDefaults.h"
#include "platform/linux/session/PrivateDir.h"
#include "platform/linux/session/StderrLog.h"
#include "platform/plist/KeyedArchiver.h"
#include "platform/plist/LibplistKeyedUnarchiver.h"
#include "tarvolin/Version.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <thread>

namespace {

using namespace tarvolin;

constexpr const char* kPasteboardName = "TarvolinAgentPB";
constexpr const char* kSomeText = "SomeText";
constexpr const char* kWinKey = "WinKey";

// After the subcommands in --help; help2man makes the manual page's sections of its headings.
constexpr const char* kHelpFooter =
    R"(A pasteboard command never replaces one the agent has not taken yet: the tool waits
--wait ms for the pasteboard to empty, then gives up unless --force is given. The
watch command prints the agent's D-Bus signals org.tarvolin.Agent.Darwin.Notification
and org.tarvolin.Agent.Distributed.Notification from /org/tarvolin/Agent.

Element paths (inspect, press, set):
  A window's elements are its real widgets where its application shows them on the
  accessibility bus (AT-SPI: GTK, Qt, Firefox, LibreOffice, Electron), and its close
  button. A path names one below the window, step by step from the top, steps joined
  by "/": ROLE[TITLE]#N, the role (AXButton), the title in brackets where it has one,
  and #N for the N-th of its siblings with that role and title where there are more.
  In a title, \] stands for ] and \\ for \. inspect prints each element's path, e.g.
  AXGroup#2/AXButton[Volume Up]; inspect WINID PATH prints that element's report.
  inspect with a path, press and set exit 1, saying why, when the window or the
  element is not there or the element does not take the action or the attribute.

Environment:
  XDG_RUNTIME_DIR    holds tarvolin/, the agent's pasteboard and instance lock
                     (/tmp/tarvolin-UID/ when unset)
  XDG_CONFIG_HOME    holds tarvolin/, the user defaults (~/.config when unset)
  SWAYSOCK           sway's IPC socket: when set, the windows command lists sway's
                     views, and fails when sway does not answer there
  WAYLAND_DISPLAY    without SWAYSOCK: KDE Plasma when KWin is on the session bus
                     (the windows command loads a script of its own into KWin while
                     it runs); GNOME when GNOME Shell is (through the agent's Shell
                     extension, where switch shows its list by default); any other
                     Wayland desktop cannot be listed (the
                     windows command fails rather than list only Xwayland's clients)
  DISPLAY            otherwise, the X display that the windows command lists
  DBUS_SESSION_BUS_ADDRESS
                     the session bus that the watch command listens on

Files:
  $XDG_RUNTIME_DIR/tarvolin/TarvolinAgentPB.pb
                     the agent's command pasteboard
  $XDG_CONFIG_HOME/tarvolin/org.tarvolin.agent.plist
                     the key-label table (WinKey)
  $XDG_CONFIG_HOME/tarvolin/org.tarvolin.shared.plist
                     the shared defaults (SomeText)

Exit status:
  0                  done
  1                  failure
  2                  a bad argument (CLI11's own codes, 100 and up, too)
  3                  a pasteboard command is still pending

Examples:
  $ tarvolinctl windows
  $ tarvolinctl raise 12582919 --activate Terminal
  $ tarvolinctl quit Notes --channel defaults
  $ tarvolinctl watch --count 1
)";

// Exit codes beyond CLI11's own (which are non-zero for every usage error).
constexpr int kFailed = 1;
constexpr int kBusy = 3;
// How long a switch waits for the agent, which polls ten times a second, to take its command.
constexpr std::chrono::milliseconds kSwitchPatience{3000};

struct Failure : std::runtime_error {
    int code;
    Failure(const std::string& what, int exitCode = kFailed) : std::runtime_error(what), code(exitCode) {}
};

std::unique_ptr<FilePasteboardService> openPasteboards() {
    std::string error;
    auto service = FilePasteboardService::open(runtimeDirectory(), error);
    if (!service) throw Failure(error);
    return service;
}

struct Defaults {
    LocalNotificationCenter center;
    StderrLog log;
    std::unique_ptr<PlistUserDefaultsService> service;
    Defaults() {
        std::string error;
        service = PlistUserDefaultsService::open(configDirectory(), center, log, error);
        if (!service) throw Failure(error);
    }
};

void warnWithoutAgent() {
    if (AgentInstanceLock::probeHolder(runtimeDirectory()) == 0)
        // The agent clears its pasteboard at launch and reads the defaults only as they change.
        std::cerr << "tarvolinctl: warning: no agent is running, and one started later does not run a "
                     "command placed before it: start the agent, then send the command again\n";
}

// Places one command without overwriting one the agent has not taken yet: waits up to
// `wait` for the pasteboard to empty, then gives up unless forced. Returns the change
// count that the command has while it waits there.
std::int64_t placeCommand(FilePasteboard& pb, const std::string& text, std::chrono::milliseconds wait,
                          bool force) {
    auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        PasteboardRead now = pb.readStrings();
        if (now.texts.empty() || force) {
            if (auto placed = pb.writeItemsIfChangeCount(now.changeCount, {PasteboardItem{text}}))
                return *placed;
            continue;  // someone wrote meanwhile: look again
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            throw Failure(
                "a command is still waiting on the pasteboard (is the agent running?); "
                "use --force to replace it",
                kBusy);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::shared_ptr<FilePasteboard> agentPasteboard(FilePasteboardService& service) {
    return std::static_pointer_cast<FilePasteboard>(service.pasteboardWithName(kPasteboardName));
}

void sendToPasteboard(const std::string& text, std::chrono::milliseconds wait, bool force) {
    auto service = openPasteboards();
    placeCommand(*agentPasteboard(*service), text, wait, force);
}

// For a switch, which acts now or not at all: a command the agent has not taken within
// `patience` (it has stopped or hangs) is taken back, so no later agent runs it by surprise.
void sendNow(const std::string& text, std::chrono::milliseconds wait, std::chrono::milliseconds patience) {
    auto service = openPasteboards();
    auto pb = agentPasteboard(*service);
    const std::int64_t placed = placeCommand(*pb, text, wait, false);
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (pb->changeCount() == placed) {
        if (std::chrono::steady_clock::now() >= deadline) {
            bool takenBack = false;
            for (int attempt = 0;; ++attempt) {
                try {  // the agent may hold the lock for a moment
                    takenBack = pb->clearContentsIfChangeCount(placed);
                    break;
                } catch (const std::system_error&) {
                    if (attempt == 100) throw;
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                }
            }
            if (!takenBack) return;  // taken at the last moment
            throw Failure("the agent did not take the command within " +
                          std::to_string(patience.count() / 1000) +
                          " s (has it stopped?); took it back, nothing sent");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void sendToDefaults(const std::string& text) {
    Defaults defaults;
    defaults.service->sharedUserDefaults()->setObject(kSomeText, Value(text));
}

// The agent splits the quit argument at every '|' (and the defaults text at every ':') and
// deletes every "Quit:", so names holding them would reach it as some other name.
std::string quitArgument(const std::string& app, const std::string& file, bool viaDefaults) {
    for (const std::string* name : {&app, &file}) {
        if (name->find('|') != std::string::npos) throw Failure("a name cannot contain '|': " + *name, 2);
        if (name->find("Quit:") != std::string::npos)
            throw Failure("a name cannot contain \"Quit:\": " + *name, 2);
        if (viaDefaults && name->find(':') != std::string::npos)
            throw Failure("the defaults channel cannot carry ':' in a name: " + *name, 2);
    }
    if (app.empty()) throw Failure("the application name is empty", 2);
    return file.empty() ? app : app + "|" + file;
}

// The key-label table as stored: a keyed archive of [{appName, key: [labels]}].
Value::Array loadTable(UserDefaults& standard) {
    auto stored = standard.objectForKey(kWinKey);
    if (!stored) return {};
    const auto* data = stored->asData();
    if (!data) throw Failure("WinKey holds " + stored->description() + ", not an archive");
    LibplistKeyedUnarchiver unarchiver;
    auto root = unarchiver.unarchiveObjectWithData(*data);
    if (!root || !root->asArray()) throw Failure("WinKey does not hold an archived list");
    return *root->asArray();
}

void printTable(const Value::Array& table) {
    for (const auto& entry : table) {
        const auto* dict = entry.asDictionary();
        if (!dict) {
            std::cout << "(entry that is not a dictionary: " << entry.description() << ")\n";
            continue;
        }
        auto app = dict->find("appName");
        auto keys = dict->find("key");
        std::cout << (app != dict->end() ? app->second.description() : std::string("(no appName)")) << ":";
        if (keys != dict->end() && keys->second.asArray()) {
            for (const auto& label : *keys->second.asArray()) std::cout << " " << label.description();
        }
        std::cout << "\n";
    }
}

void checkWindowNumber(std::int64_t winId, bool pasteboard) {
    // The pasteboard channel carries window numbers as signed 32-bit integers.
    if (pasteboard && (winId < INT32_MIN || winId > INT32_MAX))
        throw Failure("window number " + std::to_string(winId) + " is outside the signed 32-bit range", 2);
}

constexpr const char* kSwitchHelp = R"(
Each window is one line, front (most recently used) first: KEY  Application  Title,
each part cut to 200 characters, the key labels an aligned column; a repeated line gets
"  #WINDOW". Application is the Name of the app's desktop entry in the language of
$LC_ALL, else $LC_MESSAGES, else $LANG, or else the app id, which key labels (keys)
and commands go by. Type a key label and Enter to pick its window: a labelled line comes just
before the first line that also holds its label. Escape or an empty choice sends nothing
and exits 1; no menu program found exits 2. With no agent running, nothing is shown and
it exits 1 (start one: systemctl --user start tarvolin-agent.service). The choice is sent
only when the window is still there (same number, process and application), and taken
back when the agent has not taken it within 3 s; else it exits 1.
On GNOME (Wayland), with no menu named, GNOME Shell draws the list itself through the
agent's extension: type to filter, Up and Down to move, Enter picks, Escape cancels.
Elsewhere the menus tried in order: rofi -dmenu -i -show-icons, wofi --dmenu -i
--cache-file /dev/null, fuzzel --dmenu, bemenu -i, dmenu -i. --menu and $TARVOLIN_MENU
run through /bin/sh -c. The menu runs in a process group of its own, which has the
terminal meanwhile, and is ended whole at --timeout. rofi and GNOME Shell's list show
each application's icon, kept as a PNG under
$XDG_CACHE_HOME/tarvolin/icons/ (~/.cache/tarvolin/icons/ when unset, made 0700).

Bind it to a key, in openbox's rc.xml (<keyboard> section):
  <keybind key="W-Tab"><action name="Execute"><command>tarvolinctl switch</command></action></keybind>
in sway's config:
  bindsym $mod+Tab exec tarvolinctl switch
  bindsym $mod+Shift+q exec tarvolinctl switch --action close --menu 'bemenu -i -p close'
on GNOME: Settings, Keyboard, View and Customize Shortcuts, Custom Shortcuts, with the
command tarvolinctl switch.)";

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Send commands to tarvolin-agent and watch what it announces."};
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("tarvolinctl ") + kVersion);
    app.footer(kHelpFooter);

    std::string channel = "pasteboard";
    int waitMs = 1000;
    bool force = false;
    auto addSendOptions = [&](CLI::App* sub) {
        sub->add_option("--channel", channel, "pasteboard (JSON, default) or defaults (SomeText)")
            ->check(CLI::IsMember({"pasteboard", "defaults"}));
        sub->add_option("--wait", waitMs, "ms to wait for a pending pasteboard command to be taken")
            ->check(CLI::Range(0, 60000));
        sub->add_flag("--force", force, "replace a command that is still pending on the pasteboard");
    };

    std::int64_t winId = 0;
    std::string activate, appName, fileName, text;
    bool hasActivate = false;

    auto* raise = app.add_subcommand("raise", "raise a window (optionally activating an application first)");
    raise->add_option("WINID", winId, "window number")->required();
    auto* activateOption = raise->add_option("--activate", activate, "application to activate first");
    addSendOptions(raise);

    auto* close = app.add_subcommand("close", "close a window");
    close->add_option("WINID", winId, "window number")->required();
    addSendOptions(close);

    auto* quit = app.add_subcommand("quit", "quit an application that has a window");
    quit->add_option("APP", appName, "application name as the agent lists it")->required();
    quit->add_option("--file", fileName, "application file name (defaults to the name)");
    addSendOptions(quit);

    auto* kill = app.add_subcommand("kill", "stop the agent (through the shared defaults)");

    auto* json = app.add_subcommand("json", "place raw text on the agent's pasteboard");
    json->add_option("TEXT", text, "the text, sent unchanged")->required();
    addSendOptions(json);

    auto* sometext = app.add_subcommand("sometext", "store raw text under SomeText in the shared defaults");
    sometext->add_option("TEXT", text, "the text, stored unchanged")->required();

    auto* keys = app.add_subcommand("keys", "the key-label table (WinKey)");
    keys->require_subcommand(1);
    std::vector<std::string> labels;
    auto* keysSet = keys->add_subcommand("set", "set the labels of one application's windows, in order");
    keysSet->add_option("APP", appName, "application name")->required();
    keysSet->add_option("LABEL", labels, "labels for its windows, lowest window number first");
    auto* keysShow = keys->add_subcommand("show", "print the table");
    auto* keysRemove = keys->add_subcommand("remove", "remove one application's entry");
    keysRemove->add_option("APP", appName, "application name")->required();

    auto* pasteboard = app.add_subcommand("pasteboard", "the agent's pasteboard");
    pasteboard->require_subcommand(1);
    auto* pbShow = pasteboard->add_subcommand("show", "print the change count and every text item");
    auto* pbClear = pasteboard->add_subcommand("clear", "remove every item");

    int count = 0;
    auto* watch = app.add_subcommand("watch", "print the agent's notifications as they arrive");
    watch->add_option("--count", count, "exit after this many (default: run until interrupted)")
        ->check(CLI::NonNegativeNumber);

    bool asJson = false;
    auto* windows = app.add_subcommand("windows", "print the window inventory as the agent sees it");
    windows->add_flag("--json", asJson, "as a JSON list");

    std::int64_t inspectWindow = 0;
    int inspectDepth = 16;
    auto* inspect =
        app.add_subcommand("inspect", "print a window's accessibility elements, its real widgets included");
    inspect->add_option("WINID", inspectWindow, "the window's number (tarvolinctl windows)")->required();
    inspect->add_option("--depth", inspectDepth, "levels below the window (default 16)")
        ->check(CLI::Range(0, 1000));
    inspect->add_flag("--json", asJson, "as a JSON tree");
    std::string elementPath, pressAction = "AXPress", attribute, attributeValue;
    inspect->add_option("PATH", elementPath,
                        "one element's report instead: its lineage, attributes (W: settable) and actions");
    auto* press = app.add_subcommand("press", "perform an action of one element of a window");
    press->add_option("WINID", inspectWindow, "the window's number")->required();
    press->add_option("PATH", elementPath, "the element's path, as tarvolinctl inspect shows it")->required();
    press->add_option("--action", pressAction, "the action (default AXPress)");
    auto* set = app.add_subcommand("set", "write an attribute of one element of a window, from text");
    set->add_option("WINID", inspectWindow, "the window's number")->required();
    set->add_option("PATH", elementPath, "the element's path, as tarvolinctl inspect shows it")->required();
    set->add_option("ATTRIBUTE", attribute, "the attribute, e.g. AXValue or AXFocused")->required();
    set->add_option("VALUE", attributeValue, "the new value as text (\"x=10 y=20\" for a position)")
        ->required();

    std::string menu, action = "raise";
    int timeoutSeconds = 120;
    auto* switcher = app.add_subcommand(
        "switch",
        "pick a window in your menu program (rofi, wofi, fuzzel, bemenu, dmenu) and raise, close or quit it");
    auto* menuOption = switcher->add_option(
        "--menu", menu,
        "menu command, run by /bin/sh -c (default: $TARVOLIN_MENU, else on GNOME the Shell's own list, else "
        "the first found; on KDE Plasma the Wayland ones first)");
    switcher
        ->add_option("--action", action, "what to do with the chosen window: raise (default), close, quit")
        ->check(CLI::IsMember({"raise", "close", "quit"}));
    switcher->add_option("--timeout", timeoutSeconds, "seconds to wait for a choice before ending the menu")
        ->check(CLI::Range(1, 86400));
    switcher->footer(kSwitchHelp);

    CLI11_PARSE(app, argc, argv);
    hasActivate = activateOption->count() > 0;

    try {
        const bool viaDefaults = channel == "defaults";
        if (*raise || *close || *quit) {
            std::string verb = *raise ? "Raise" : *close ? "Close" : "Quit";
            if (viaDefaults) {
                if (hasActivate) throw Failure("--activate needs the pasteboard channel", 2);
                sendToDefaults(verb + ":" +
                               (*quit ? quitArgument(appName, fileName, true) : std::to_string(winId)));
            } else {
                nlohmann::json command;
                if (*quit) {
                    command = {{"cmd", "quit"}, {"winID", "Quit:" + quitArgument(appName, fileName, false)}};
                } else {
                    checkWindowNumber(winId, true);
                    command = {{"cmd", *raise ? "raise" : "close"}, {"winID", winId}};
                    if (hasActivate) command["activate"] = activate;
                }
                warnWithoutAgent();
                sendToPasteboard(command.dump(), std::chrono::milliseconds(waitMs), force);
            }
        } else if (*kill) {
            sendToDefaults("kill");
        } else if (*json) {
            if (viaDefaults) throw Failure("json is for the pasteboard; use sometext for the defaults", 2);
            warnWithoutAgent();
            sendToPasteboard(text, std::chrono::milliseconds(waitMs), force);
        } else if (*sometext) {
            sendToDefaults(text);
        } else if (*keys) {
            Defaults defaults;
            auto standard = defaults.service->standardUserDefaults();
            Value::Array table = loadTable(*standard);
            if (*keysShow) {
                printTable(table);
            } else {
                std::erase_if(table, [&](const Value& entry) {
                    const auto* dict = entry.asDictionary();
                    auto it = dict ? dict->find("appName") : Value::Dictionary::const_iterator{};
                    return dict && it != dict->end() && it->second == Value(appName);
                });
                if (*keysSet) {
                    Value::Array labelValues(labels.begin(), labels.end());
                    table.push_back(Value::dictionary(
                        {{"appName", Value(appName)}, {"key", Value::array(std::move(labelValues))}}));
                }
                auto archive = archiveKeyedBinary(Value::array(std::move(table)));
                standard->setObject(kWinKey, Value::data(std::move(archive)));
            }
        } else if (*pasteboard) {
            auto service = openPasteboards();
            auto pb = agentPasteboard(*service);
            if (*pbShow) {
                std::int64_t changeCount = 0;
                auto items = pb->readItems(&changeCount);
                std::cout << "change count " << changeCount << ", " << items.size() << " item(s)\n";
                for (const auto& item : items) {
                    std::cout << (item.text ? quotedText(*item.text) : std::string("(not text)")) << "\n";
                }
            } else if (*pbClear) {
                pb->clearContents();
            }
        } else if (*windows) {
            return printWindows(asJson);
        } else if (*inspect) {
            if (!elementPath.empty()) return describeElement(inspectWindow, elementPath);
            return printElementTree(inspectWindow, inspectDepth, asJson);
        } else if (*press) {
            return pressElement(inspectWindow, elementPath, pressAction);
        } else if (*set) {
            return setElementAttribute(inspectWindow, elementPath, attribute, attributeValue);
        } else if (*switcher) {
            SwitchOptions options;
            if (menuOption->count() > 0) options.menu = menu;
            options.timeout = std::chrono::seconds(timeoutSeconds);
            SwitchPeers peers;
            peers.scan = scanWindows;
            peers.agentRunning = [] { return AgentInstanceLock::probeHolder(runtimeDirectory()) != 0; };
            peers.desktopMenu = LinuxPlatform::desktopChooser();
            desktop::DesktopEntries entries;
            peers.applicationName = [&entries](const std::string& appId) {
                return entries.nameFor(appId, desktop::messagesLocale());
            };
            peers.send = [&](const WindowEntry& chosen) {
                nlohmann::json command;
                if (action == "quit") {
                    command = {{"cmd", "quit"},
                               {"winID", "Quit:" + quitArgument(chosen.appName.value_or(""), "", false)}};
                } else {
                    checkWindowNumber(chosen.winId, true);
                    command = {{"cmd", action}, {"winID", chosen.winId}};
                }
                sendNow(command.dump(), std::chrono::milliseconds(waitMs), kSwitchPatience);
            };
            return switchWindow(options, peers);
        } else if (*watch) {
            LinuxRunLoop loop;
            loop.handleTerminationSignals([&](int) { loop.exit(0); });
            int seen = 0;
            NotificationListener listener(loop, [&](NotificationListener::Kind kind,
                                                    const std::string& name) {
                std::cout << (kind == NotificationListener::Kind::distributed ? "distributed " : "darwin ")
                          << quotedText(name) << std::endl;
                if (count > 0 && ++seen >= count) loop.exit(0);
            });
            std::cerr << "tarvolinctl: watching\n";  // subscribed: posts from now on are seen
            return loop.run();
        }
    } catch (const Failure& failure) {
        std::cerr << "tarvolinctl: " << failure.what() << "\n";
        return failure.code;
    } catch (const std::exception& e) {
        std::cerr << "tarvolinctl: " << e.what() << "\n";
        return kFailed;
    }
    return 0;
}
