#pragma once

#include <string>
#include <string_view>
#include <variant>

namespace tarvolin {

// The scripts every script host understands, and nothing more.
struct QuitApplication {
    std::string name;
    friend bool operator==(const QuitApplication&, const QuitApplication&) = default;
};
struct ActivateApplication {
    std::string name;
    friend bool operator==(const ActivateApplication&, const ActivateApplication&) = default;
};
// Command-W to the front application.
struct CloseKeystroke {
    friend bool operator==(const CloseKeystroke&, const CloseKeystroke&) = default;
};
struct ScriptError {
    std::string message;
    friend bool operator==(const ScriptError&, const ScriptError&) = default;
};

using ParsedScript = std::variant<QuitApplication, ActivateApplication, CloseKeystroke, ScriptError>;

// Parses one script. Application names are string literals with the \" and \\ escapes.
ParsedScript parseScript(std::string_view source);

}  // namespace tarvolin
