// The messages of the artifact reader: type and value refusals worded like
// the parser's own, the header's templates, and the position every
// parse-step failure ends with.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/error.h"
#include "runtime/quote.h"

namespace vorlix::artifact::reader {

// A value the reader met where it expected something else.
struct Unexpected {
    enum class Type : uint8_t { Null, Bool, Number, String, Array, Object } type;
    std::string_view text = {};
    bool boolean = false;
};

[[gnu::cold]] std::string invalid_type(const Unexpected& u, std::string_view expected);
[[gnu::cold]] std::string invalid_integer(std::string_view number, std::string_view expected);
[[gnu::cold]] std::string field_message(std::string_view what, std::string_view name);
[[gnu::cold]] std::string unknown_attr_kind(std::string_view kind);
[[gnu::cold]] std::string pair_length(size_t length);
[[gnu::cold]] std::string with_quoted(std::string_view prefix, std::string_view text);
[[gnu::cold]] std::string dense_ids(uint64_t expected, uint32_t got);
[[gnu::cold]] std::string unsupported_text(std::string_view label, std::string_view got, std::string_view expected);
[[gnu::cold]] std::string unsupported_number(std::string_view label, uint32_t got, uint32_t expected);

template <size_t N>
[[gnu::cold, gnu::noinline]] std::string unknown_field(std::string_view key,
                                                       const std::array<std::string_view, N>& names) {
    std::string message = "unknown field ";
    quote::append_literal(message, key);
    message += N == 2 ? ", expected " : ", expected one of ";
    for (size_t i = 0; i < N; ++i) {
        if (i != 0) message += N == 2 ? " or " : ", ";
        message += '`';
        message += names[i];
        message += '`';
    }
    return message;
}

// The parse-step failure: the message and the line and column of the byte
// at which it was detected, the `consumed`-th of the text (the first byte
// of an empty text).
[[gnu::cold]] GraphError deserialization_failed(std::string_view text, std::string_view message, size_t consumed);

// The parser's own refusal `code` (reported at byte `reported`), worded for
// the reader's messages. `stop` is where reading stood; a byte there is the
// unexpected one and counts as consumed.
[[gnu::cold]] GraphError syntax_failed(std::string_view text, int code, size_t reported, size_t stop);

}  // namespace vorlix::artifact::reader
