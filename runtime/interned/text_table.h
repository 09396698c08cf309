// Interned texts of one graph: attribute keys, string and byte values, node
// names and source locations, each stored once and named by a 32-bit ID.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "runtime/error.h"
#include "runtime/interned/intern_index.h"
#include "runtime/interned/slab.h"

namespace vorlix {

using TextId = uint32_t;

// Equal byte strings get equal IDs, so comparing two texts of one table is
// comparing their IDs. Views stay valid for the table's lifetime.
class TextTable {
public:
    TextTable() = default;
    TextTable(const TextTable&) = delete;
    TextTable& operator=(const TextTable&) = delete;
    TextTable(TextTable&&) noexcept = default;
    TextTable& operator=(TextTable&&) noexcept = default;

    // Fails only when the table already holds 2^32 - 1 texts.
    [[nodiscard]] Expected<TextId> intern(std::string_view text);
    [[nodiscard]] std::optional<TextId> find(std::string_view text) const;
    // `id` must have come from this table.
    [[nodiscard]] std::string_view operator[](TextId id) const { return texts_[id]; }
    [[nodiscard]] size_t size() const { return texts_.size(); }
    [[nodiscard]] size_t reserved_bytes() const {
        return bytes_.reserved_bytes() + texts_.capacity() * sizeof(std::string_view) + index_.capacity() * 8;
    }

private:
    [[nodiscard]] uint64_t hash(std::string_view text) const;

    Slab<char> bytes_;
    std::vector<std::string_view> texts_;
    InternIndex index_;
};

}  // namespace vorlix
