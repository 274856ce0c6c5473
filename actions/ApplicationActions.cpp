#include "actions/ScriptText.h"
#include "app/AppDelegate.h"

namespace tarvolin {

void AppDelegate::quitApp(const WindowInfoRef&, std::string_view appFileName) {
    const std::string name = removingOccurrences(appFileName, ".app");
    platform_.scripts.executeScript("tell the application " + scriptStringLiteral(name) + " to quit");
    platform_.log.log("");
}

void AppDelegate::activateApp(std::string_view appName) {
    platform_.scripts.executeScript("tell the application " + scriptStringLiteral(appName) + " to activate");
    platform_.log.log("");
}

}  // namespace tarvolin
