// The pure parts of the X11 backend: icons, text decoding.
#include "platform/linux/x11/XWindows.h"

#include <gtest/gtest.h>

namespace tarvolin::x11 {
namespace {

using Cardinals = std::vector<std::uint32_t>;

Cardinals icon(std::uint32_t w, std::uint32_t h, std::uint32_t argb = 0) {
    Cardinals v = {w, h};
    v.insert(v.end(), size_t{w} * h, argb);
    return v;
}

Cardinals operator+(Cardinals a, const Cardinals& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(Icons, TheBestWellFormedEntryPremultiplied) {
    const std::vector<std::tuple<const char*, Cardinals, int>> cases = {
        {"smallest that covers 32", icon(16, 16) + icon(64, 64) + icon(48, 48), 48},
        {"largest when all are small", icon(16, 16) + icon(24, 24) + icon(8, 8), 24},
        {"a wide strip does not cover 32 x 32", icon(64, 16) + icon(40, 40), 40},
        {"truncated second entry keeps the first", icon(16, 16) + Cardinals{64, 64, 1, 2, 3}, 16},
        {"zero width stops", Cardinals{0, 16} + icon(16, 16), 0},
        {"absurd size is refused", {100000, 100000, 1}, 0},
    };
    for (const auto& [what, data, width] : cases) {
        Image img = iconFromCardinals(data.data(), data.size());
        EXPECT_EQ(img.size().width, width) << what;
    }
    Cardinals data = icon(2, 1, 0x80ff4020);
    data.back() = 0x00ffffff;  // fully transparent: the colour must vanish
    Image img = iconFromCardinals(data.data(), data.size());
    ASSERT_EQ(img.pixelWidth(), 2);
    EXPECT_EQ(img.pixel(0, 0), 0x80802010u);
    EXPECT_EQ(img.pixel(1, 0), 0x00000000u);
}

TEST(TextDecoding, MalformedUtf8IsReplacedAndLatin1Converted) {
    const std::string bad = "\xef\xbf\xbd";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"caf\xc3\xa9", "caf\xc3\xa9"},
        {"a\xff"
         "b",
         "a" + bad + "b"},
        {"\xc3", bad},                       // cut short
        {"\xc0\xaf", bad + bad},             // overlong
        {"\xed\xbf\xbf", bad + bad + bad}};  // surrogates
    for (const auto& [in, out] : cases) EXPECT_EQ(sanitizedUtf8(in), out);
    EXPECT_EQ(latin1ToUtf8("caf\xe9"), "caf\xc3\xa9");
}

}  // namespace
}  // namespace tarvolin::x11
