// What applications hand the agent on the accessibility bus: texts of any size and bytes, action
// names, role numbers.
#include "FuzzSupport.h"
#include "platform/linux/atspi/AtspiNames.h"

#include <cstring>

using namespace tarvolin;

namespace {

bool validUtf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (std::size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::string input(fuzz::text(data + 1, size - 1));
    const std::size_t max = data[0] % 16;
    const std::string cut = atspi::boundedText(input, max);
    if (input.size() <= max ? cut != input : cut.size() > max)
        fuzz::fail("a cut text is longer than allowed");
    if (input.compare(0, cut.size(), cut) != 0) fuzz::fail("a cut text is not the text's beginning");
    if (validUtf8(input) && (!validUtf8(cut) || (input.size() > max && cut.size() + 3 < max)))
        fuzz::fail("a text was cut inside a character, or lost more than one");
    if (atspi::axAction(input).empty() != input.empty()) fuzz::fail("an action name went missing");
    int role = 0;
    std::memcpy(&role, data, std::min<std::size_t>(size, sizeof role));
    if (atspi::axRole(role, data[0] & 1).role.empty()) fuzz::fail("a role without a name");
    return 0;
}
