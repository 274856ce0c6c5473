#pragma once

#include "platform/linux/desktop/DesktopIcons.h"
#include "SwayIpc.h"
#include "SwayTree.h"
#include "platform/Value.h"
#include "platform/linux/desktop/ProcessName.h"
#include "platform/linux/desktop/SynthesizedElements.h"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarvolin::sway {

class WindowNode;
class ApplicationNode;

// A process that owns views.
struct AppRecord {
    std::int32_t pid = 0;
    std::optional<std::string> appId;      // the app name of its oldest view that has one
    std::optional<std::string> name;       // that, else the process name
    std::vector<std::int64_t> frontFirst;  // its views
    std::optional<std::int64_t>
        front;  // the most recently focused one outside the scratchpad, else the first
};

// The mirror of sway's tree every service reads. Events only mark it stale; the tree is
// fetched again when someone next looks, so a burst of events costs one fetch.
class Core : public std::enable_shared_from_this<Core> {
public:
    Core(std::unique_ptr<Connection> events, std::unique_ptr<Connection> commands);

    bool broken() const { return events_->broken() || commands_->broken(); }
    int fd() const { return events_->fd(); }

    // The tree as sway has it now: one round trip (a fetch when events are known to be
    // pending, else a barrier that proves none are).
    const Layout& fresh();
    // The tree as of the events received so far; a round trip only when they changed it.
    const Layout& current();
    // Takes the events that have arrived; false once a connection is broken.
    bool processEvents();

    // Runs the commands as one message; true when sway carried out every one.
    bool run(const std::vector<std::string>& commands);

    // The processes owning views, in pid order, from the current tree.
    const std::vector<AppRecord>& applications();
    std::optional<AppRecord> application(std::int32_t pid);
    Image icon(const std::optional<std::string>& app) { return icons_.iconFor(app); }

    // One element per view / process while anyone holds it, so equal handles mean the same element.
    AXElement windowElement(std::int64_t view, std::int32_t pid);
    AXElement applicationElement(std::int32_t pid);

    std::uint64_t roundTrips() const { return events_->roundTrips() + commands_->roundTrips(); }

private:
    void fetch();
    Connection::EventHandler staleOn(bool& flag);

    std::unique_ptr<Connection> events_;
    std::unique_ptr<Connection> commands_;
    Layout layout_;
    bool stale_ = true;
    desktop::DesktopIcons icons_;
    synthesized::ElementTable<std::int64_t, WindowNode> windowNodes_;
    synthesized::ElementTable<std::int32_t, ApplicationNode> appNodes_;
    // The processes, computed once per fetched tree.
    std::uint64_t generation_ = 0;
    std::uint64_t appsGeneration_ = 0;
    std::vector<AppRecord> apps_;
};

}  // namespace tarvolin::sway
