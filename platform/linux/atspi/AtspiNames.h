#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tarvolin::atspi {

// An AT-SPI role (AtspiRole's number) as the platform's role and subrole names.
struct RoleNames {
    std::string_view role;
    std::string_view subrole;  // empty: none
};
// Toolkits give one text role for both kinds of field; `singleLine` tells which.
RoleNames axRole(int atspiRole, bool singleLine);

// An AT-SPI action name (toolkits spell them as they like: "click", "Press", "showMenu") as the
// platform's action name; a name with no counterpart stands for itself.
std::string axAction(std::string_view atspiAction);

// Text an application gives (a name, a description, a value), cut to at most `max` bytes and
// never inside a character.
std::string boundedText(std::string text, std::size_t max);

}  // namespace tarvolin::atspi
