#pragma once

#include <string>
#include <string_view>

namespace tarvolin {

struct ScriptResult {
    bool ok = false;
    std::string result;  // the script's result on success
    std::string error;   // error information on failure
};

// Compiles and runs a script synchronously.
class ScriptHost {
public:
    virtual ~ScriptHost() = default;
    virtual ScriptResult executeScript(std::string_view source) = 0;
};

}  // namespace tarvolin
