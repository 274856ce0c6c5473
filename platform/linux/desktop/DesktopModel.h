#pragma once

#include "DesktopIcons.h"
#include "Transport.h"
#include "WidgetSource.h"
#include "platform/Accessibility.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarvolin::desktop {

// One element per key while anyone holds it, so equal handles mean the same element.
template <class Key, class N>
class ElementTable {
public:
    // The live element of `key` if `fits` takes it, else a new one from `make`.
    template <class Fits, class Make>
    AXElement find(Key key, Fits fits, Make make) {
        sweep();
        if (auto node = nodes_[key].lock(); node && fits(*node)) return AXElement(node);
        std::shared_ptr<N> node = make();
        nodes_[key] = node;
        return AXElement(node);
    }

private:
    // Forgets the elements nobody holds, when the table has doubled since the last time.
    void sweep() {
        if (nodes_.size() < sweepAt_) return;
        std::erase_if(nodes_, [](const auto& entry) { return entry.second.expired(); });
        sweepAt_ = std::max<size_t>(64, 2 * nodes_.size());
    }

    std::map<Key, std::weak_ptr<N>> nodes_;
    size_t sweepAt_ = 64;
};

class WindowNode;
class ApplicationNode;

// A process that owns windows.
struct AppRecord {
    std::int32_t pid = 0;
    std::optional<std::string> app;   // the app name of its oldest window that has one
    std::optional<std::string> name;  // that, else the process name
    std::vector<std::int64_t> frontFirst;
    std::int64_t front = 0;       // its front-most window that is not minimised, else its front-most
    std::int64_t iconWindow = 0;  // its oldest window with pixels of its own, else its oldest
};

// The desktop as every service sees it: a transport's snapshot, the applications made from it,
// the elements handed out, and what the agent did last. Elements keep it alive, so an element
// that outlives the services still answers (with an error once the desktop is gone).
class DesktopModel : public std::enable_shared_from_this<DesktopModel> {
public:
    explicit DesktopModel(std::unique_ptr<Transport> transport) : transport_(std::move(transport)) {}

    Transport& transport() { return *transport_; }
    bool broken() const { return transport_->broken(); }

    // The desktop now, synced once per turn of the caller's loop (see endTurnsWith).
    const Snapshot& look();
    // A look stays good until the task handed to `schedule` runs; a run loop's "soon" makes every
    // question of one command share one look. Without it every question looks again.
    void endTurnsWith(std::function<void(std::function<void()>)> schedule) {
        schedule_ = std::move(schedule);
    }

    // The desktop as of the last look (a first one when there was none).
    const Snapshot& lastLook();
    // The processes owning windows, in pid order, as of the last look.
    const std::vector<AppRecord>& applications();
    const AppRecord* application(std::int32_t pid);
    // Every app's icon: its window's own pixels, else the theme's icon for its app name.
    std::vector<Image> icons(const std::vector<AppRecord>& apps);

    // One element per window / process while anyone holds it, so equal handles mean the same element.
    AXElement windowElement(std::int64_t window, std::int32_t pid);
    AXElement applicationElement(std::int32_t pid);
    // The real widgets inside windows, where the session has a source of them.
    void setWidgetSource(std::shared_ptr<WidgetSource> source) { widgets_ = std::move(source); }
    WidgetSource* widgetSource() const { return widgets_.get(); }

    // The desktop restacks after a request, not at once: a raise is remembered so that bringing
    // its process forward in the same turn knows it is done already.
    void noteRaised(std::int32_t pid, std::int64_t window);
    struct Raised {
        std::int32_t pid;
        std::int64_t window;
        std::uint64_t turn;
    };
    std::optional<Raised> takeRaised(std::int32_t pid);
    // The window a keystroke meant for "the raised window" may go to.
    std::optional<std::int64_t> lastRaised() const { return lastRaised_; }
    std::uint64_t turn() const { return turn_; }

    void setLog(std::function<void(const std::string&)> log) {
        transport_->setLog(log);
        log_ = std::move(log);
    }
    void log(const std::string& line) const {
        if (log_) log_(line);
    }

private:
    std::unique_ptr<Transport> transport_;
    const Snapshot* snapshot_ = nullptr;
    bool looked_ = false;
    std::uint64_t turn_ = 0;
    std::function<void(std::function<void()>)> schedule_;
    std::function<void(const std::string&)> log_;

    std::vector<AppRecord> apps_;
    std::optional<std::uint64_t> appsGeneration_;
    DesktopIcons themeIcons_;
    struct IconKey {
        std::int64_t window;
        std::int32_t pid;  // ids of windows that are gone may come back
        std::uint64_t version;
        auto operator<=>(const IconKey&) const = default;
    };
    std::map<IconKey, Image> iconCache_;

    ElementTable<std::int64_t, WindowNode> windowNodes_;
    ElementTable<std::int32_t, ApplicationNode> appNodes_;
    std::optional<Raised> raised_;
    std::optional<std::int64_t> lastRaised_;
    std::shared_ptr<WidgetSource> widgets_;
};

}  // namespace tarvolin::desktop
