// UTF-8 decoding and the character classes used for trimming and quoting.
#include "runtime/unicode.h"

#include <gtest/gtest.h>

namespace vorlix {
namespace {

TEST(UnicodeTest, DecodesWellFormedSequences) {
    const std::pair<std::string, char32_t> cases[] = {
        {"A", U'A'}, {"\u00e9", 0xE9}, {"\u20ac", 0x20AC}, {"\U0010FFFF", 0x10FFFF}, {"\U0001F600", 0x1F600},
    };
    for (const auto& [text, cp] : cases) {
        const unicode::Decoded d = unicode::decode_utf8(text, 0);
        EXPECT_TRUE(d.valid);
        EXPECT_EQ(d.code_point, cp);
        EXPECT_EQ(d.length, text.size());
    }
}

TEST(UnicodeTest, MalformedSequencesDecodeOneByteAtATime) {
    const std::string cases[] = {
        "\x80",     "\xc0\x80",  "\xc1\xbf", "\xe0\x80\x80", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xf5\x80\x80\x80",
        "\xe2\x82", "\xe2(\xa1",
    };
    for (const std::string& text : cases) {
        const unicode::Decoded d = unicode::decode_utf8(text, 0);
        EXPECT_FALSE(d.valid) << text;
        EXPECT_EQ(d.length, 1u);
        EXPECT_EQ(d.code_point, static_cast<unsigned char>(text[0]));
    }
}

TEST(UnicodeTest, WhiteSpaceIsTheUnicodePropertyNotEveryInvisibleCharacter) {
    for (const char32_t c : {0x0B, 0x85, 0xA0, 0x1680, 0x2000, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000}) {
        EXPECT_TRUE(unicode::is_white_space(c)) << static_cast<uint32_t>(c);
    }
    for (const char32_t c : {0x08, 0x0E, 0x200B, 0x180E, 0xFEFF}) {
        EXPECT_FALSE(unicode::is_white_space(c)) << static_cast<uint32_t>(c);
    }
}

}  // namespace
}  // namespace vorlix
