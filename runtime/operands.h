// Rebuilding an operation's positional operands from one item per parent and
// one per literal, by the node's operand layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "runtime/error.h"
#include "runtime/inline_vec.h"

namespace vorlix {

enum class InterleaveError : uint8_t {
    PositionUnavailable,
    LiteralLayoutInconsistent,
    LiteralsUnused,
    SlotUninitialized,
};

[[nodiscard]] std::string_view interleave_message(InterleaveError error);

// One flag per operand slot; a word for the usual handful of operands.
class SlotFlags {
public:
    explicit SlotFlags(size_t count) : count_(count) {
        if (count > 64) wide_ = std::make_unique<bool[]>(count);
    }
    void set(size_t s) {
        if (!wide_) {
            bits_ |= uint64_t{1} << s;
        } else {
            wide_[s] = true;
        }
    }
    [[nodiscard]] bool test(size_t s) const { return !wide_ ? ((bits_ >> s) & 1) != 0 : wide_[s]; }
    [[nodiscard]] bool all() const {
        for (size_t s = 0; s < count_; ++s) {
            if (!test(s)) return false;
        }
        return true;
    }

private:
    size_t count_;
    uint64_t bits_ = 0;
    std::unique_ptr<bool[]> wide_;
};

struct Operands {
    // Parents fill operands 0..P-1 in order and there are no literals: the
    // parent items are the operands as they stand.
    [[nodiscard]] static bool is_identity(std::span<const uint32_t> positions, size_t literal_count) {
        if (literal_count != 0) return false;
        for (size_t k = 0; k < positions.size(); ++k) {
            if (positions[k] != k) return false;
        }
        return true;
    }

    // Places each parent item at its position and the literal items, in
    // order, into the slots left empty, ascending, for an operation of
    // `arity` operands. `place(slot, item)` stores an item (a later item for
    // the same slot replaces an earlier one); `literal_at(j)` yields literal
    // item j. Parent items are moved out of `parents`.
    template <class T, class LiteralAt, class Place>
    [[nodiscard]] static std::optional<InterleaveError> fill(std::span<const uint32_t> positions,
                                                             size_t literal_count, size_t arity,
                                                             std::span<T> parents, LiteralAt&& literal_at,
                                                             Place&& place) {
        SlotFlags filled(arity);
        for (size_t k = 0; k < parents.size() && k < positions.size(); ++k) {
            const size_t position = positions[k];
            if (position >= arity) return InterleaveError::PositionUnavailable;
            place(position, std::move(parents[k]));
            filled.set(position);
        }
        size_t next_literal = 0;
        for (size_t s = 0; s < arity; ++s) {
            if (filled.test(s)) continue;
            if (next_literal >= literal_count) return InterleaveError::LiteralLayoutInconsistent;
            place(s, literal_at(next_literal++));
            filled.set(s);
        }
        if (next_literal < literal_count) return InterleaveError::LiteralsUnused;
        if (!filled.all()) return InterleaveError::SlotUninitialized;
        return std::nullopt;
    }

    // `fill` into a list of `slots.size()` items.
    template <class T, class LiteralAt>
    [[nodiscard]] static std::optional<InterleaveError> fill(std::span<const uint32_t> positions,
                                                             size_t literal_count, std::span<T> parents,
                                                             LiteralAt&& literal_at, std::span<T> slots) {
        return fill(positions, literal_count, slots.size(), parents, literal_at,
                    [slots](size_t s, T&& item) { slots[s] = std::move(item); });
    }

    // The operands as a list of parent-count plus literal-count items. For
    // the identity layout the parent items come back unchanged, uncopied.
    template <class T, class LiteralAt>
    [[nodiscard]] static Expected<std::vector<T>, InterleaveError> interleave(std::span<const uint32_t> positions,
                                                                           size_t literal_count,
                                                                           std::vector<T> parents,
                                                                           LiteralAt&& literal_at) {
        if (is_identity(positions, literal_count) && positions.size() == parents.size()) return parents;
        std::vector<T> slots(parents.size() + literal_count);
        if (auto error = fill<T>(positions, literal_count, std::span<T>(parents), literal_at, std::span<T>(slots))) {
            return *error;
        }
        return slots;
    }

    // The same, with the literal items given as a list.
    template <class T>
    [[nodiscard]] static Expected<std::vector<T>, InterleaveError> interleave(std::span<const uint32_t> positions,
                                                                           std::vector<T> parents,
                                                                           std::vector<T> literals) {
        const size_t literal_count = literals.size();
        return interleave(positions, literal_count, std::move(parents),
                          [&literals](size_t j) { return std::move(literals[j]); });
    }
};

}  // namespace vorlix
