#pragma once

#include "Snapshot.h"
#include "platform/Value.h"

namespace tarvolin::desktop {

// Where the widgets inside other processes' windows come from (the accessibility bus), apart
// from the desktop that shows the windows.
class WidgetSource {
public:
    virtual ~WidgetSource() = default;
    // The top widgets of the window's own tree, each answering `window` as its parent and its
    // window; none when its application shows none or cannot be told from another window of it.
    // `frame` is the window's frame in the agent's coordinates.
    virtual Value::Array widgets(const Window& w, const Box& frame, const AXElement& window) = 0;
};

}  // namespace tarvolin::desktop
