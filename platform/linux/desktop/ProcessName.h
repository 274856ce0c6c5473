#pragma once

#include <cstdint>
#include <fstream>
#include <optional>
#include <string>

namespace tarvolin {

// The process name from /proc; none when the process is gone or not local.
inline std::optional<std::string> processName(std::int32_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    if (!in || !std::getline(in, name) || name.empty()) return std::nullopt;
    return name;
}

}  // namespace tarvolin
