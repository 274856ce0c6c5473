#pragma once

namespace tarvolin {

// Prints the window inventory as the agent sees it: one scan of the current display.
// Returns the exit code.
int printWindows(bool json);

}  // namespace tarvolin
