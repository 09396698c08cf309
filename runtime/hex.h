// The lowercase hexadecimal codec for byte strings and constant payloads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/error.h"

namespace vorlix {

// An owned byte string (attribute bytes, constant payloads).
using Bytes = std::vector<uint8_t>;

namespace hex {

// Writes exactly `2 * bytes.size()` characters to `out`, high nibble first.
void encode_to(std::span<const uint8_t> bytes, char* out);

[[nodiscard]] std::string encode(std::span<const uint8_t> bytes);

// Refuses an odd length before looking at any character, then the first
// character outside 0-9 and a-f; the message is meant to follow a noun
// ("hex byte string must use lowercase hexadecimal").
[[nodiscard]] Expected<Bytes, std::string> decode(std::string_view text);

// Decodes an even-length text into `text.size() / 2` bytes at `out`; false,
// with `out` partly written, when a character is not lowercase hexadecimal.
[[nodiscard]] bool decode_to(std::string_view text, uint8_t* out);

}  // namespace hex
}  // namespace vorlix
