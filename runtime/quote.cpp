// The two quoting flavours for user text in messages; see Note [Quoted literals].
#include "runtime/quote.h"

#include "runtime/unicode.h"

namespace vorlix::quote {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

enum class Flavour { Literal, PathKey };

void append_braced_hex(std::string& out, char32_t c) {
    char digits[8];
    size_t n = 0;
    do {
        digits[n++] = kHexDigits[c & 0xFu];
        c >>= 4;
    } while (c != 0);
    out += "\\u{";
    while (n > 0) out += digits[--n];
    out += '}';
}

bool is_control(char32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

void append_quoted(std::string& out, std::string_view text, Flavour flavour) {
    out.reserve(out.size() + text.size() + 2);
    out += '"';
    size_t pos = 0;
    while (pos < text.size()) {
        const unicode::Decoded d = unicode::decode_utf8(text, pos);
        const char32_t c = d.code_point;
        if (!d.valid) {
            out += "\\x";
            out += kHexDigits[(c >> 4) & 0xFu];
            out += kHexDigits[c & 0xFu];
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == 0) {
            out += "\\0";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (flavour == Flavour::Literal
                       ? is_control(c)
                       : !unicode::is_printable(c) || (pos == 0 && unicode::is_combining_mark(c))) {
            append_braced_hex(out, c);
        } else {
            out.append(text.substr(pos, d.length));
        }
        pos += d.length;
    }
    out += '"';
}

}  // namespace

void append_literal(std::string& out, std::string_view text) { append_quoted(out, text, Flavour::Literal); }

std::string literal(std::string_view text) {
    std::string out;
    append_literal(out, text);
    return out;
}

void append_path_key(std::string& out, std::string_view key) { append_quoted(out, key, Flavour::PathKey); }

std::string path_key(std::string_view key) {
    std::string out;
    append_path_key(out, key);
    return out;
}

}  // namespace vorlix::quote
