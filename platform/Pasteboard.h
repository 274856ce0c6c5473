#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvolin {

struct PasteboardItem {
    std::optional<std::string> text;  // none for an item that cannot be read as text
    friend bool operator==(const PasteboardItem&, const PasteboardItem&) = default;
};

// What one read saw: the texts of the readable items, in item order, and the
// change count they belong to.
struct PasteboardRead {
    std::int64_t changeCount = 0;
    std::vector<std::string> texts;
    // Why contents that claim text hold none that can be read (malformed, too large);
    // empty otherwise. Such contents never become readable by reading them again.
    std::string unreadable;
};

// A named pasteboard shared by the user's processes. Every write and every
// clear moves the change count on.
class Pasteboard {
public:
    virtual ~Pasteboard() = default;
    virtual std::int64_t changeCount() = 0;
    // True when at least one item can be read as text; the cheapest question there is.
    virtual bool canReadString() = 0;
    virtual PasteboardRead readStrings() = 0;
    // Removes every item; returns the new change count.
    virtual std::int64_t clearContents() = 0;
    // Clears only while the change count is still `expected`, as one indivisible step.
    virtual bool clearContentsIfChangeCount(std::int64_t expected) = 0;
    // Replaces the contents; returns the new change count.
    virtual std::int64_t writeItems(const std::vector<PasteboardItem>& items) = 0;
};

class PasteboardService {
public:
    virtual ~PasteboardService() = default;
    // The same pasteboard for the same name; throws std::invalid_argument for a name
    // the backend cannot hold.
    virtual std::shared_ptr<Pasteboard> pasteboardWithName(std::string_view name) = 0;
};

}  // namespace tarvolin
