// Lowercase hex codec: encoding across vector and tail paths, strict decoding.
#include "runtime/hex.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace vorlix {
namespace {

std::string reference_hex(const Bytes& bytes) {
    std::string out;
    char pair[3];
    for (const uint8_t b : bytes) {
        std::snprintf(pair, sizeof pair, "%02x", b);
        out += pair;
    }
    return out;
}

TEST(HexTest, EncodesEveryByteAtEveryLengthAndDecodesBack) {
    for (size_t length = 0; length <= 67; ++length) {
        Bytes bytes(length);
        for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(i * 37 + length * 11);
        const std::string text = hex::encode(bytes);
        ASSERT_EQ(text, reference_hex(bytes)) << length;
        auto back = hex::decode(text);
        ASSERT_TRUE(back);
        EXPECT_EQ(*back, bytes);
    }
    Bytes all(256);
    for (size_t i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(hex::encode(all), reference_hex(all));
}

TEST(HexTest, EmptyTextDecodesToEmptyBytes) {
    auto empty = hex::decode("");
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());
}

TEST(HexTest, RefusalsAndTheirOrder) {
    const std::pair<std::string, std::string> cases[] = {
        {"abc", "must contain an even number of characters"},
        // Odd length wins over bad characters.
        {"XYZ", "must contain an even number of characters"},
        {"3FF0", "must use lowercase hexadecimal"},
        {"0g", "must use lowercase hexadecimal"},
        {"00 1", "must use lowercase hexadecimal"},
        {std::string("0\0", 2), "must use lowercase hexadecimal"},
    };
    for (const auto& [text, message] : cases) {
        auto r = hex::decode(text);
        ASSERT_FALSE(r) << text;
        EXPECT_EQ(r.error(), message);
    }
}

}  // namespace
}  // namespace vorlix
