#pragma once

#include "Geometry.h"

#include <vector>

namespace tarvolin {

class Screens {
public:
    virtual ~Screens() = default;
    // Screen frames, primary first, origin at the bottom-left of the primary, y upwards.
    virtual std::vector<Rect> screenFrames() = 0;
};

}  // namespace tarvolin
