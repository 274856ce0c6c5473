#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvolin {

// One command object read from the pasteboard.
struct PasteboardCommand {
    // False when a key the command uses has a value of the wrong type or null (for "raise",
    // "close" and "quit" the "winID"), or "cmd" is not a string, or the JSON is not an object:
    // consumed like any command, but it does nothing. Keys the command does not use never count.
    bool wellFormed = true;
    std::optional<std::string> cmd;
    // The window number; none when it lies outside the signed 32-bit range.
    std::optional<std::int64_t> winId = 0;
    std::optional<std::string> winIdText;  // "winID" when it is a string
    // Only "raise" uses it. A value that is not a string (null, a number) names no
    // application, so the raise goes ahead without an activation.
    std::optional<std::string> activate;
};

// None when the text is not JSON the way the platform's parser reads it: only a
// top-level object or array parses, and only valid UTF-8.
std::optional<PasteboardCommand> parsePasteboardCommand(std::string_view utf8);

// The signed decimal integer at the start of `text`, after any white space; 0
// when there is none; none when it does not fit in 64 bits.
std::optional<std::int64_t> leadingInteger(std::string_view text);

// `text` cut at every occurrence of `separator`.
std::vector<std::string> splitText(std::string_view text, char separator);

// Application name and file name: the first and the last piece of the text cut at every "|".
struct QuitTarget {
    std::string appName;
    std::string appFileName;
};
QuitTarget parseQuitTarget(std::string_view text);

// Verb and argument of a shared-defaults command: the first and the last piece of the text cut at every ":".
struct DefaultsCommand {
    std::string verb;
    std::string argument;
};
DefaultsCommand parseSomeText(std::string_view text);

}  // namespace tarvolin
