// The defaults file reader, and the writer's bytes read back.
#include "FuzzSupport.h"
#include "platform/linux/session/PlistUserDefaults.h"

using namespace tarvolin;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto values = PlistUserDefaults::decodeDomain(fuzz::text(data, size));
    if (!values) return 0;
    // What was read can be written (std::invalid_argument here is a finding), and reads back equal.
    const auto again = PlistUserDefaults::decodeDomain(PlistUserDefaults::encodeDomain(*values));
    fuzz::check(again && fuzz::same(Value::dictionary(*again), Value::dictionary(*values)),
                "written back, " + Value::dictionary(*values).description() + " reads differently");
    return 0;
}
