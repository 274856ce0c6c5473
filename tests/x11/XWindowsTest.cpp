// The pure parts of the X11 backend: icons, text decoding, screen frames.
#include "platform/linux/x11/X11Services.h"
#include "platform/linux/x11/XWindows.h"

#include <gtest/gtest.h>

namespace tarvolin::x11 {
namespace {

std::vector<std::uint32_t> icon(std::uint32_t w, std::uint32_t h, std::uint32_t argb) {
    std::vector<std::uint32_t> v = {w, h};
    v.insert(v.end(), size_t{w} * h, argb);
    return v;
}

std::vector<std::uint32_t> concat(std::initializer_list<std::vector<std::uint32_t>> parts) {
    std::vector<std::uint32_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

struct IconCase {
    const char* what;
    std::vector<std::uint32_t> data;
    int width;  // 0: no image
};

class IconChoice : public ::testing::TestWithParam<IconCase> {};

TEST_P(IconChoice, PicksTheBestWellFormedEntry) {
    const auto& c = GetParam();
    Image img = iconFromCardinals(c.data.data(), c.data.size());
    EXPECT_EQ(img.pixelWidth(), c.width) << c.what;
    if (c.width) {
        EXPECT_EQ(img.size().width, c.width) << c.what;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Icons, IconChoice,
    ::testing::Values(
        IconCase{"smallest that covers 32", concat({icon(16, 16, 0), icon(64, 64, 0), icon(48, 48, 0)}), 48},
        IconCase{"largest when all are small", concat({icon(16, 16, 0), icon(24, 24, 0), icon(8, 8, 0)}), 24},
        IconCase{"empty", {}, 0}, IconCase{"header only", {32, 32}, 0},
        IconCase{"truncated second entry keeps the first", concat({icon(16, 16, 0), {64, 64, 1, 2, 3}}), 16},
        IconCase{"zero width stops", concat({{0, 16}, icon(16, 16, 0)}), 0},
        IconCase{"absurd size is refused", {100000, 100000, 1}, 0},
        IconCase{"size overflowing 32 bits is refused", {0x10000, 0x10000, 1}, 0}));

TEST(IconPixels, ArePremultiplied) {
    auto data = concat({icon(2, 1, 0x80ff4020)});
    data.back() = 0x00ffffff;  // fully transparent: colour must vanish
    Image img = iconFromCardinals(data.data(), data.size());
    ASSERT_EQ(img.pixelWidth(), 2);
    EXPECT_EQ(img.pixel(0, 0), 0x80802010u);
    EXPECT_EQ(img.pixel(1, 0), 0x00000000u);
}

TEST(TextDecoding, MalformedUtf8IsReplacedAndLatin1Converted) {
    EXPECT_EQ(sanitizedUtf8("caf\xc3\xa9"), "caf\xc3\xa9");
    EXPECT_EQ(sanitizedUtf8("a\xff"
                            "b"),
              "a\xef\xbf\xbd"
              "b");
    EXPECT_EQ(sanitizedUtf8("\xc3"), "\xef\xbf\xbd");                                  // cut short
    EXPECT_EQ(sanitizedUtf8("\xc0\xaf"), "\xef\xbf\xbd\xef\xbf\xbd");                  // overlong
    EXPECT_EQ(sanitizedUtf8("\xed\xa0\x80"), "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd");  // surrogate
    EXPECT_EQ(latin1ToUtf8("caf\xe9"), "caf\xc3\xa9");
}

struct ScreenCase {
    const char* what;
    std::vector<MonitorRect> monitors;
    std::vector<Rect> frames;
};

class ScreenFrames : public ::testing::TestWithParam<ScreenCase> {};

TEST_P(ScreenFrames, FlipAboutThePrimary) {
    EXPECT_EQ(bottomLeftFrames(GetParam().monitors), GetParam().frames);
}

INSTANTIATE_TEST_SUITE_P(
    Screens, ScreenFrames,
    ::testing::Values(ScreenCase{"one", {{0, 0, 1280, 1024, true}}, {{0, 0, 1280, 1024}}},
                      ScreenCase{"none", {}, {}},
                      ScreenCase{"primary listed second, shorter, to the right",
                                 {{0, 0, 1920, 1200, false}, {1920, 0, 1280, 1024, true}},
                                 {{0, 0, 1280, 1024}, {-1920, -176, 1920, 1200}}},
                      ScreenCase{"second below the primary",
                                 {{0, 0, 1920, 1080, true}, {0, 1080, 1280, 1024, false}},
                                 {{0, 0, 1920, 1080}, {0, -1024, 1280, 1024}}},
                      ScreenCase{"no primary marked: the first",
                                 {{100, 50, 800, 600, false}, {900, 50, 800, 600, false}},
                                 {{0, 0, 800, 600}, {800, 0, 800, 600}}}));

}  // namespace
}  // namespace tarvolin::x11
