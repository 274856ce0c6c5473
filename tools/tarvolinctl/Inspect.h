#pragma once

#include <cstdint>
#include <string>

namespace tarvolin {

// Prints the element tree of window `winId` down to `depth` levels below the window, each element
// as the agent's element utilities describe it, with its path. Returns the exit code.
int printElementTree(std::int64_t winId, int depth, bool json);
// Prints the report of the element at `path` below the window: its lineage from its application
// down, its attributes (W where settable) and its actions. Returns the exit code.
int describeElement(std::int64_t winId, const std::string& path);
// Performs `action` on the element at `path` below the window. Returns the exit code.
int pressElement(std::int64_t winId, const std::string& path, const std::string& action);
// Writes `value`, as text, to the element's attribute. Returns the exit code.
int setElementAttribute(std::int64_t winId, const std::string& path, const std::string& attribute,
                        const std::string& value);

}  // namespace tarvolin
