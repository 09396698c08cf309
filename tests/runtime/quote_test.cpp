// Quoted literals in messages: the general flavour against the dictionary-key flavour.
#include "runtime/quote.h"

#include <gtest/gtest.h>

namespace vorlix {
namespace {

struct QuoteCase {
    std::string text;
    std::string literal;
    std::string path_key;
};

class QuoteFlavours : public ::testing::TestWithParam<QuoteCase> {};

TEST_P(QuoteFlavours, WriteExpectedEscapes) {
    const QuoteCase& c = GetParam();
    EXPECT_EQ(quote::literal(c.text), c.literal);
    EXPECT_EQ(quote::path_key(c.text), c.path_key);
    std::string appended = "at ";
    quote::append_literal(appended, c.text);
    EXPECT_EQ(appended, "at " + c.literal);
}

INSTANTIATE_TEST_SUITE_P(
    Characters, QuoteFlavours,
    ::testing::Values(
        QuoteCase{"", R"("")", R"("")"}, QuoteCase{"2025.12", R"("2025.12")", R"("2025.12")"},
        QuoteCase{"a\"b\\c", R"("a\"b\\c")", R"("a\"b\\c")"},
        QuoteCase{std::string("\t\r\n\0", 4), R"("\t\r\n\0")", R"("\t\r\n\0")"},
        QuoteCase{"\x01\x1f\x7f", R"("\u{1}\u{1f}\u{7f}")", R"("\u{1}\u{1f}\u{7f}")"},
        QuoteCase{"\u0085", R"("\u{85}")", R"("\u{85}")"},
        // Printable text, including non-ASCII, passes through both.
        QuoteCase{"caf\u00e9 \U0001F600 '/", "\"caf\u00e9 \U0001F600 '/\"", "\"caf\u00e9 \U0001F600 '/\""},
        // Non-printable but not control: only the key flavour escapes.
        QuoteCase{"a\u00a0b", "\"a\u00a0b\"", R"("a\u{a0}b")"},
        QuoteCase{"x\u200by", "\"x\u200by\"", R"("x\u{200b}y")"}, QuoteCase{"\u2028", "\"\u2028\"", R"("\u{2028}")"},
        QuoteCase{"\U000E0001", "\"\U000E0001\"", R"("\u{e0001}")"}, QuoteCase{"\u0378", "\"\u0378\"", R"("\u{378}")"},
        // A combining mark is escaped by the key flavour only at the start.
        QuoteCase{"\u0301a\u0301", "\"\u0301a\u0301\"", "\"\\u{301}a\u0301\""},
        // Bytes that are not UTF-8 are escaped in both.
        QuoteCase{"\xff", R"("\xff")", R"("\xff")"}, QuoteCase{"a\xe2\x82", R"("a\xe2\x82")", R"("a\xe2\x82")"},
        QuoteCase{"\xc0\x80", R"("\xc0\x80")", R"("\xc0\x80")"}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

}  // namespace
}  // namespace vorlix
