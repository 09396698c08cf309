// Integers of the artifact text, as the parser hands them over: field
// values, attribute integers and the node IDs that key constants.
#pragma once

#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <system_error>

#include "runtime/arena.h"

namespace vorlix::artifact::reader {

enum class IntegerFit : uint8_t { Fits, NotInteger, OutOfRange };

// Reads a JSON number text (as the parser validated it) as an integer whose
// magnitude may not exceed `max_positive` (or `max_negative` below zero).
inline IntegerFit read_integer(std::string_view text, uint64_t max_positive, uint64_t max_negative, bool& negative,
                               uint64_t& magnitude) {
    negative = !text.empty() && text.front() == '-';
    if (negative) text.remove_prefix(1);
    magnitude = 0;
    if (text.find_first_not_of("0123456789") != std::string_view::npos) return IntegerFit::NotInteger;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
    if (error == std::errc::result_out_of_range) return IntegerFit::OutOfRange;
    if (error != std::errc() || end != text.data() + text.size()) return IntegerFit::NotInteger;
    if (magnitude > (negative ? max_negative : max_positive)) return IntegerFit::OutOfRange;
    return IntegerFit::Fits;
}

// The node ID a constant key names: decimal digits only, within 32 bits,
// written without sign or leading zero.
[[nodiscard]] inline std::optional<NodeId> canonical_node_id(std::string_view key) {
    if (key.empty() || key.size() > 10 || (key.size() > 1 && key.front() == '0')) return std::nullopt;
    uint64_t id = 0;
    const auto [end, error] = std::from_chars(key.data(), key.data() + key.size(), id);
    if (error != std::errc() || end != key.data() + key.size() || id > std::numeric_limits<NodeId>::max()) {
        return std::nullopt;
    }
    return static_cast<NodeId>(id);
}

}  // namespace vorlix::artifact::reader
