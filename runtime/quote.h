// Writing user text into messages as double-quoted literals.
#pragma once

#include <string>
#include <string_view>

namespace vorlix::quote {

// Note [Quoted literals]
// Messages quote user text in one of two flavours. Both enclose the text in
// double quotation marks, write `"` and `\` with a backslash before them, and
// write NUL, tab, carriage return and line feed as \0, \t, \r and \n.
// - `literal` escapes the remaining control characters (U+0001..U+001F
//   besides those, U+007F..U+009F) as \u{hex} and keeps everything else.
// - `path_key`, used for dictionary keys inside attribute paths, escapes
//   every non-printable character as \u{hex}, and so does a combining mark
//   at the very start of the key, which would otherwise fuse with the quote.
// In both, a byte that is not part of well-formed UTF-8 is written as \x
// and two hexadecimal digits, so the message itself stays valid UTF-8.
// Hexadecimal digits are lowercase, without leading zeros inside braces.

void append_literal(std::string& out, std::string_view text);
[[nodiscard]] std::string literal(std::string_view text);

void append_path_key(std::string& out, std::string_view key);
[[nodiscard]] std::string path_key(std::string_view key);

}  // namespace vorlix::quote
