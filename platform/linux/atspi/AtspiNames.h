#pragma once

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

}  // namespace tarvolin::atspi
