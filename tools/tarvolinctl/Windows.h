#pragma once

#include "inventory/WindowInfoModel.h"
#include "platform/Image.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarvolin {

// One window of the inventory, copied out of the scan so it outlives the desktop connection.
struct WindowEntry {
    std::int64_t winId = 0;
    std::int64_t pid = 0;
    std::optional<std::string> appName;
    std::optional<std::string> title;  // as the window has it: absent, empty or a text
    std::string winName;               // the title, or the application's name when there is none
    std::int64_t x = 0, y = 0, width = 0, height = 0;
    std::string key;
    Image icon;  // 32 x 32, premultiplied ARGB
};

// The current desktop and one scan of it as the agent makes it, kept while this lives: its
// records' elements still answer.
class Inventory {
public:
    static std::unique_ptr<Inventory> open(std::string& error);  // none, with `error`, without a desktop
    ~Inventory();
    const WindowInfoList& windows() const;  // front first

private:
    Inventory();
    struct Scan;
    std::unique_ptr<Scan> scan_;
};

// One scan of the current display, front first; none with `error` set when the display
// cannot be opened.
std::optional<std::vector<WindowEntry>> scanWindows(std::string& error);

// Prints the window inventory as the agent sees it. Returns the exit code.
int printWindows(bool json);

}  // namespace tarvolin
