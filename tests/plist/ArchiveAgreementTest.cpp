// The reader hands out only strings the writer gives back unchanged.
#include "KeyedArchiveTestSupport.h"

#include <algorithm>

namespace tarvolin {
namespace {

using namespace plisttest;

// A table archived with the label "QQ", whose stored bytes are then replaced: binary
// property lists keep an ASCII string's bytes as they are, whatever they are.
std::vector<std::uint8_t> tableWithLabelBytes(const std::string& two) {
    auto bytes = archiveKeyedBinary(Value::array(
        {Value::dictionary({{"appName", Value("Editor")}, {"key", Value::array({Value("QQ")})}})}));
    const std::string marker = "QQ";
    auto at = std::search(bytes.begin(), bytes.end(), marker.begin(), marker.end());
    EXPECT_NE(at, bytes.end());
    std::copy(two.begin(), two.end(), at);
    return bytes;
}

TEST(ArchiveAgreement, WhatTheReaderAcceptsTheWriterWritesBackUnchanged) {
    for (const std::string& two : {std::string("a\0", 2), std::string("\0a", 2), std::string("\xff\x41"),
                                   std::string("\xc3\x28"), std::string("ab")}) {
        const auto read = decode(tableWithLabelBytes(two));
        if (two == "ab") {
            ASSERT_TRUE(read) << "the untouched archive must read";
        }
        if (!read) continue;
        std::vector<std::uint8_t> again;
        EXPECT_NO_THROW(again = archiveKeyedBinary(*read)) << (read ? read->description() : "<nothing>");
        EXPECT_EQ(decode(again), read) << (read ? read->description() : "<nothing>");
    }
}

}  // namespace
}  // namespace tarvolin
