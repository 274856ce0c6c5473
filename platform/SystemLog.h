#pragma once

#include <string_view>

namespace tarvolin {

class SystemLog {
public:
    virtual ~SystemLog() = default;
    virtual void log(std::string_view line) = 0;
};

}  // namespace tarvolin
