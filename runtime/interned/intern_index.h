// The hash index of an interning table: IDs by the hash of what they stand
// for, the entries themselves kept by the table.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "runtime/hash.h"

namespace vorlix {

// Open addressing with linear probing over slots of eight bytes (the ID and
// 32 bits of its hash), at most three quarters full. Positions are taken
// from the stored 32 bits, so growing rehashes nothing, and the table
// compares an entry only when those bits match. The hash keys are drawn per
// index: texts and attribute maps come from callers' data.
class InternIndex {
public:
    // IDs must stay below this.
    static constexpr uint64_t kMaxIds = uint64_t{1} << 32;

    InternIndex() : keys_(fresh_hash_keys()) {}
    InternIndex(const InternIndex&) = delete;
    InternIndex& operator=(const InternIndex&) = delete;
    InternIndex(InternIndex&&) noexcept = default;
    InternIndex& operator=(InternIndex&&) noexcept = default;

    [[nodiscard]] const std::array<uint64_t, 2>& keys() const { return keys_; }
    [[nodiscard]] size_t size() const { return size_; }
    [[nodiscard]] size_t capacity() const { return slots_ ? mask_ + 1 : 0; }

    // The ID entered under `hash` for which `matches(id)` holds.
    template <class Matches>
    [[nodiscard]] std::optional<uint32_t> find(uint64_t hash, Matches&& matches) const {
        if (!slots_) return std::nullopt;
        const auto tag = static_cast<uint32_t>(hash);
        for (size_t i = tag & mask_;; i = (i + 1) & mask_) {
            const Slot slot = slots_[i];
            if (slot.id_plus_one == 0) return std::nullopt;
            if (slot.tag == tag && matches(slot.id_plus_one - 1)) return slot.id_plus_one - 1;
        }
    }

    // Enters `id` (below kMaxIds - 1), which `find` did not find; throws
    // std::bad_alloc before changing anything.
    void insert(uint64_t hash, uint32_t id) {
        if (4 * (size_ + 1) > 3 * capacity()) grow();
        place(Slot{id + 1, static_cast<uint32_t>(hash)});
        ++size_;
    }

private:
    struct Slot {
        uint32_t id_plus_one;  // 0 for an empty slot
        uint32_t tag;          // the hash's low 32 bits
    };
    static constexpr size_t kFirstCapacity = 16;

    void place(Slot slot) {
        size_t i = slot.tag & mask_;
        while (slots_[i].id_plus_one != 0) i = (i + 1) & mask_;
        slots_[i] = slot;
    }
    void grow();

    std::unique_ptr<Slot[]> slots_;
    size_t mask_ = 0;
    size_t size_ = 0;
    std::array<uint64_t, 2> keys_;
};

}  // namespace vorlix
