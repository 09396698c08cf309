// Unicode character classes and UTF-8 decoding for trimming and quoting user text.
#pragma once

#include <cstddef>
#include <string_view>

namespace vorlix::unicode {

// A code point decoded from UTF-8 and the number of bytes it took. A byte
// that does not start a well-formed sequence (stray continuation byte,
// overlong form, surrogate, beyond U+10FFFF, truncated) decodes on its own,
// with `valid` false and `length` 1, so every input makes progress.
struct Decoded {
    char32_t code_point;
    size_t length;
    bool valid;
};

// Decodes the sequence starting at `pos`, which must be below `text.size()`.
[[nodiscard]] Decoded decode_utf8(std::string_view text, size_t pos);

// The White_Space property.
[[nodiscard]] bool is_white_space(char32_t c);

// Printable means not in the categories Cc, Cf, Cs, Co, Cn, Zl, Zp, and not a
// space separator other than U+0020.
[[nodiscard]] bool is_printable(char32_t c);

// General categories Mn, Mc and Me.
[[nodiscard]] bool is_combining_mark(char32_t c);

}  // namespace vorlix::unicode
