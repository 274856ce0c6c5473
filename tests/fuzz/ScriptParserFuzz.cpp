// The script parser on any text, and on the scripts the agent builds for any application name.
#include "FuzzSupport.h"
#include "actions/ScriptText.h"
#include "platform/ScriptParser.h"

using namespace tarvolin;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input = fuzz::text(data, size);
    (void)parseScript(input);
    const std::string literal = scriptStringLiteral(input);
    const auto quit = parseScript("tell the application " + literal + " to quit");
    const auto activate = parseScript("tell the application " + literal + " to activate");
    fuzz::check(quit == ParsedScript(QuitApplication{std::string(input)}), "quit of " + std::string(input));
    fuzz::check(activate == ParsedScript(ActivateApplication{std::string(input)}),
                "activate of " + std::string(input));
    return 0;
}
