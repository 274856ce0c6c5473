// The element utilities' text parsers: writing an attribute from text, and element paths.
#include "FuzzSupport.h"
#include "accessibility/ElementPath.h"
#include "accessibility/UIElementUtilities.h"

using namespace tarvolin;

namespace {

// What setStringValue writes to an attribute that holds `current`; none when it writes nothing.
std::optional<Value> writeFromText(const Value& current, std::string_view text) {
    static sim::SimDesktop desktop;
    std::optional<Value> written;
    auto e = desktop.makeElement(1, "target");
    e->attributes.push_back({"AXTarget",
                             [current] { return AXResult<Value>::success(current); },
                             {},
                             [&written](const Value& v) {
                                 written = v;
                                 return AXError::success;
                             }});
    UIElementUtilities::setStringValue(text, "AXTarget", desktop.handle(e));
    return written;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::vector<Value> kinds = {Value("text"),
                                             Value::real(1.5),
                                             Value::integer(3),
                                             Value::boolean(true),
                                             Value(AXValue::point({1, 2})),
                                             Value(AXValue::size({3, 4})),
                                             Value(AXValue::rect({1, 2, 3, 4})),
                                             Value(AXValue::range({5, 6})),
                                             Value(AXValue::opaque(kAXValueAXErrorType)),
                                             Value::array({})};
    const std::string_view input = fuzz::text(data, size);
    // A path that parses is written back as the same steps.
    std::string error;
    if (auto steps = parseElementPath(input, error)) {
        std::string again;
        for (const PathStep& s : *steps) again += (again.empty() ? "" : "/") + formatPathStep(s);
        auto reread = parseElementPath(again, error);
        fuzz::check(reread && *reread == *steps, "the path " + again + " reads back otherwise");
    } else {
        fuzz::check(!error.empty(), "a path refused without a reason");
    }
    for (const Value& current : kinds) {
        const auto written = writeFromText(current, input);
        if (!written) continue;
        // A text becomes a value of the attribute's own kind, never another.
        const AXValue *was = current.asAXValue(), *now = written->asAXValue();
        fuzz::check(was ? now && now->kind() == was->kind() : current.isString() == written->isString(),
                    "the kind changed for " + std::string(input));
        if (current.isString()) fuzz::check(*written->asString() == input, "text altered");
        // A geometry value's own description parses.
        if (now)
            fuzz::check(writeFromText(*written, UIElementUtilities::stringDescriptionOfAXValue(*now, false))
                            .has_value(),
                        "its own description does not parse");
    }
    return 0;
}
