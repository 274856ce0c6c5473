// A SomeText value through the shared-defaults channel on the simulated desktop.
#include "FuzzSupport.h"

using namespace tarvolin;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(fuzz::text(data, size));
    fuzz::Desktop d;
    const auto before = d.windows();
    auto shared = d.desktop.defaultsDomain(sim::SimDesktop::kSharedDomain);
    shared->setObject("SomeText", Value(input));
    d.desktop.runFor(std::chrono::seconds(1));

    const DefaultsCommand command = parseSomeText(input);
    fuzz::check(d.process.terminated() == (command.verb == "kill"), "termination wrong for " + input);
    fuzz::check(shared->objectForKey("SomeText") == Value(input), "the command text changed");
    std::int64_t winId = -1;
    std::set<std::int32_t> apps;
    if (command.verb == "Raise" || command.verb == "Close")
        winId = leadingInteger(command.argument).value_or(-1);
    if (command.verb == "Quit") apps = fuzz::Desktop::quitTargets(command.argument);
    d.checkOnlyTargetsChanged(before, winId, apps, input);
    return 0;
}
