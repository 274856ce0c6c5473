// The pasteboard file reader, and the writer's bytes read back.
#include "FuzzSupport.h"
#include "platform/linux/session/FilePasteboard.h"

using namespace tarvolin;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto contents = FilePasteboard::decode(fuzz::text(data, size));
    if (!contents) return 0;
    fuzz::check(contents->changeCount >= 0, "a negative change count");
    const auto again = FilePasteboard::decode(FilePasteboard::encode(contents->changeCount, contents->items));
    fuzz::check(again && again->changeCount == contents->changeCount && again->items == contents->items,
                "written back, the file reads differently");
    return 0;
}
