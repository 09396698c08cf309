// Rebuilding an operation's positional operands from one item per parent and
// one per literal, by the node's operand layout.
#pragma once

#include <algorithm>
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

// One flag per operand slot, for up to 64 slots.
class WordFlags {
public:
    static constexpr size_t kMax = 64;

    explicit WordFlags(size_t count) : count_(count) {}
    void set(size_t s) { bits_ |= uint64_t{1} << s; }
    [[nodiscard]] bool test(size_t s) const { return ((bits_ >> s) & 1) != 0; }
    // Calls `fn(slot)` for each slot not set, ascending, while it returns
    // true; whether it never returned false.
    template <class Fn>
    [[gnu::always_inline]] bool for_each_clear(Fn&& fn) const {
        uint64_t clear = ~bits_ & (count_ == kMax ? ~uint64_t{0} : (uint64_t{1} << count_) - 1);
        for (; clear != 0; clear &= clear - 1) {
            if (!fn(static_cast<size_t>(__builtin_ctzll(clear)))) return false;
        }
        return true;
    }

private:
    size_t count_;
    uint64_t bits_ = 0;
};

// One flag per operand slot, for any number of slots.
class SlotFlags {
public:
    explicit SlotFlags(size_t count) : count_(count) {
        if (count > WordFlags::kMax) wide_ = std::make_unique<bool[]>(count);
    }
    void set(size_t s) {
        if (!wide_) {
            word_.set(s);
        } else {
            wide_[s] = true;
        }
    }
    [[nodiscard]] bool test(size_t s) const { return !wide_ ? word_.test(s) : wide_[s]; }
    template <class Fn>
    bool for_each_clear(Fn&& fn) const {
        if (!wide_) return word_.for_each_clear(fn);
        for (size_t s = 0; s < count_; ++s) {
            if (!wide_[s] && !fn(s)) return false;
        }
        return true;
    }

private:
    size_t count_;
    WordFlags word_{count_ <= WordFlags::kMax ? count_ : WordFlags::kMax};
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

    // The one interleave routine: gives every operand of an operation of
    // `arity` operands its slot. Parent k takes positions[k] (a later parent
    // for the same slot replaces an earlier one); the literals, in order,
    // take the slots no parent took, ascending. `parent_at(k, slot)` hears of
    // each parent in parent order, then `literal_at(j, slot)` of each literal
    // in literal order, as they are placed.
    template <class ParentAt, class LiteralAt>
    [[nodiscard, gnu::always_inline]] static std::optional<InterleaveError> assign(std::span<const uint32_t> positions,
                                                                                   size_t parent_count,
                                                                                   size_t literal_count, size_t arity,
                                                                                   ParentAt&& parent_at,
                                                                                   LiteralAt&& literal_at) {
        // The usual handful of operands keeps its flags in a word.
        if (arity <= WordFlags::kMax) {
            return assign_with(WordFlags(arity), positions, parent_count, literal_count, arity, parent_at, literal_at);
        }
        return assign_with(SlotFlags(arity), positions, parent_count, literal_count, arity, parent_at, literal_at);
    }

    // Places each parent item at its position and the literal items into the
    // slots left empty, by `assign`. `place(slot, item)` stores an item;
    // `literal_at(j)` yields literal item j. Parent items are moved out of
    // `parents`.
    template <class T, class LiteralAt, class Place>
    [[nodiscard]] static std::optional<InterleaveError> fill(std::span<const uint32_t> positions, size_t literal_count,
                                                             size_t arity, std::span<T> parents, LiteralAt&& literal_at,
                                                             Place&& place) {
        return assign(
            positions, parents.size(), literal_count, arity,
            [&](size_t k, size_t slot) { place(slot, std::move(parents[k])); },
            [&](size_t j, size_t slot) { place(slot, literal_at(j)); });
    }

    // `fill` into a list of `slots.size()` items.
    template <class T, class LiteralAt>
    [[nodiscard]] static std::optional<InterleaveError> fill(std::span<const uint32_t> positions, size_t literal_count,
                                                             std::span<T> parents, LiteralAt&& literal_at,
                                                             std::span<T> slots) {
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

private:
    template <class Flags, class ParentAt, class LiteralAt>
    [[nodiscard, gnu::always_inline]] static std::optional<InterleaveError> assign_with(
        Flags filled, std::span<const uint32_t> positions, size_t parent_count, size_t literal_count, size_t arity,
        ParentAt& parent_at, LiteralAt& literal_at) {
        for (size_t k = 0; k < parent_count && k < positions.size(); ++k) {
            const size_t position = positions[k];
            if (position >= arity) return InterleaveError::PositionUnavailable;
            parent_at(k, position);
            filled.set(position);
        }
        // Every slot no parent took receives the next literal, so all are
        // filled when there are exactly enough.
        size_t next_literal = 0;
        const bool enough = filled.for_each_clear([&](size_t s) {
            if (next_literal >= literal_count) return false;
            literal_at(next_literal++, s);
            return true;
        });
        if (!enough) return InterleaveError::LiteralLayoutInconsistent;
        if (next_literal < literal_count) return InterleaveError::LiteralsUnused;
        return std::nullopt;
    }
};

}  // namespace vorlix
