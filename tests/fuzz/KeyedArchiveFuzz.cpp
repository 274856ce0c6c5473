// The keyed-archive reader, the key labels it feeds, and the writer giving back what it read.
#include "FuzzSupport.h"
#include "platform/plist/KeyedArchiver.h"
#include "platform/plist/LibplistKeyedUnarchiver.h"

using namespace tarvolin;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Value::Data bytes(data, data + size);
    auto root = LibplistKeyedUnarchiver().unarchiveObjectWithData(bytes);
    if (root) {
        const auto again = LibplistKeyedUnarchiver().unarchiveObjectWithData(archiveKeyedBinary(*root));
        fuzz::check(again && fuzz::same(*again, *root),
                    "written back, " + root->description() + " reads differently");
    }
    // A fresh desktop each time: a long-lived one grows, and every input would then cost a leak scan.
    fuzz::Desktop d;
    d.process.standardUserDefaults()->setObject("WinKey", Value::data(bytes));
    d.agent.resetWindowInfo();  // the scan ends with the label pass
    const auto& labels = d.agent.allShowingWinKey();
    fuzz::check(labels && labels->size() == d.agent.windowInfoArray()->size(), "one label per window");
    if (!root || !root->asArray())
        for (const auto& label : *labels) fuzz::check(label.empty(), "a label without a table");
    return 0;
}
