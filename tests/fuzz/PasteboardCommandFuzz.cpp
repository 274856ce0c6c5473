// Pasteboard command text through the real poll on the simulated desktop.
#include "FuzzSupport.h"

using namespace tarvolin;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(fuzz::text(data, size));
    fuzz::Desktop d;
    auto pb = d.desktop.pasteboard(kAgentPasteboardName);
    pb->writeItems({{input}});
    const auto before = d.windows();
    d.desktop.runFor(std::chrono::seconds(1));  // the poll, and the delayed raise and keystroke after it

    const auto command = parsePasteboardCommand(input);
    // Left only as the rules say: a parsed command is consumed, anything else stays.
    fuzz::check(pb->canReadString() == !command, "pasteboard left wrongly for " + input);
    std::int64_t winId = -1;
    std::set<std::int32_t> apps;
    if (command && command->wellFormed) {
        winId = command->winId.value_or(-1);
        if (command->cmd == "quit" && command->winIdText)
            apps = fuzz::Desktop::quitTargets(removingOccurrences(*command->winIdText, "Quit:"));
    }
    d.checkOnlyTargetsChanged(before, winId, apps, input);
    return 0;
}
