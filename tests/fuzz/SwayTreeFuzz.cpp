// sway's IPC framing and its tree and outputs replies, as the sway backend reads them.
#include "FuzzSupport.h"
#include "platform/linux/sway/SwayIpc.h"
#include "platform/linux/sway/SwayTree.h"

#include <nlohmann/json.hpp>

using namespace tarvolin;
using namespace tarvolin::sway;

namespace {

// The messages of a stream fed in the pieces that end at `cuts`, and whether it went corrupt.
std::vector<std::string> framed(std::string_view stream, std::vector<size_t> cuts) {
    MessageDecoder d;
    std::vector<std::string> out;
    size_t from = 0;
    cuts.push_back(stream.size());
    for (size_t cut : cuts) {
        d.feed(stream.substr(from, cut - from));
        from = cut;
        while (auto m = d.next()) out.push_back(std::to_string(m->type) + ":" + m->payload);
    }
    out.push_back(d.corrupt() ? "corrupt" : "");
    return out;
}

bool int32(std::int64_t v) { return v >= INT32_MIN && v <= INT32_MAX; }

void checkLayout(const std::string& text) {
    Layout l;
    try {
        l = parseLayout(text, text);
    } catch (const nlohmann::json::exception&) {
        return;
    }
    for (const View& v : l.views) {
        fuzz::check(v.id >= 0, "a view with a negative id");
        fuzz::check(!v.pid || *v.pid > 0, "a view with a pid below 1");
        fuzz::check(int32(v.rect.x) && v.rect.width >= 0 && int32(v.rect.width) && v.rect.height >= 0,
                    "a view's rectangle out of range");
        fuzz::check(!v.opacity || std::isfinite(*v.opacity), "an opacity that is not a number");
    }
    for (const Output& o : l.outputs)
        fuzz::check(int32(o.rect.x) && int32(o.rect.y) && int32(o.rect.width) && int32(o.rect.height) &&
                        o.rect.width >= 0 && o.rect.height >= 0,
                    "an output's rectangle out of range");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input = fuzz::text(data, size);
    // The same stream split anywhere frames the same messages.
    const auto whole = framed(input, {});
    fuzz::check(framed(input, {size / 3, 2 * size / 3}) == whole, "the framing depends on the split");
    fuzz::check(framed(encodeMessage(4, input), {size / 2 + 7}) ==
                    std::vector<std::string>{"4:" + std::string(input), ""},
                "a framed reply did not come back whole");
    // The input as a reply of its own, and every payload framed in it.
    checkLayout(std::string(input));
    for (const std::string& m : whole)
        if (auto colon = m.find(':'); colon != std::string::npos) checkLayout(m.substr(colon + 1));
    return 0;
}
