// The attribute maps of one graph, each distinct map stored once (see Note
// [Attribute cells]) and named by a 32-bit ID.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "runtime/error.h"
#include "runtime/interned/attr_cells.h"
#include "runtime/interned/attr_draft.h"
#include "runtime/interned/intern_index.h"
#include "runtime/interned/slab.h"
#include "runtime/interned/text_table.h"
#include "runtime/stable_vec.h"

namespace vorlix {

using AttrMapId = uint32_t;

// Equal maps get equal IDs, so comparing two maps of one graph is comparing
// their IDs. The texts of the maps live in a text table the caller keeps
// beside the pool and passes to every call.
class AttrPool {
public:
    static constexpr AttrMapId kEmpty = 0;

    AttrPool();
    AttrPool(const AttrPool&) = delete;
    AttrPool& operator=(const AttrPool&) = delete;
    AttrPool(AttrPool&&) noexcept = default;
    AttrPool& operator=(AttrPool&&) noexcept = default;

    // The ID of the map `draft` holds (which must have no container open),
    // entering it first when it is new. Fails only when a table runs out of
    // IDs or a map of more than 2^32 - 1 cells.
    [[nodiscard]] Expected<AttrMapId> intern(const AttrDraft& draft, TextTable& texts);
    // `id` must have come from this pool; `texts` is the table it interned with.
    [[nodiscard]] AttrMapView map(AttrMapId id, const TextTable& texts) const {
        const Record& record = records_[id];
        return AttrMapView(record.cells, record.entries, &texts);
    }
    [[nodiscard]] size_t size() const { return records_.size(); }
    [[nodiscard]] size_t reserved_bytes() const {
        return cells_.reserved_bytes() + records_.capacity() * sizeof(Record) + index_.capacity() * 8;
    }

private:
    struct Record {
        const AttrCell* cells;
        uint32_t cell_count;
        uint32_t entries;
    };
    // A container whose children are yet to be laid out.
    struct Pending {
        const DraftTree::Cell* source;
        size_t cell;
    };

    // `intern` for a draft not met recently.
    [[nodiscard]] Expected<AttrMapId> intern_new(const AttrDraft& draft, TextTable& texts);
    // Lays the draft out into `block_` (see Note [Attribute cells]).
    [[nodiscard]] Status<> layout(const AttrDraft& draft, TextTable& texts);
    // Appends one run of children (map entries sorted, later repeats winning).
    [[nodiscard]] Status<> emit(std::span<const DraftTree::Cell> run, bool is_map, TextTable& texts);
    [[nodiscard]] uint64_t hash_block(uint32_t entries) const;

    // Note [Recently written maps]
    // Interning lays a draft out and looks its block up, which costs the
    // texts' lookups and a sort of the keys. Code that builds graphs mostly
    // writes a few maps over and over, in the same way each time, so the
    // maps met last are remembered as they were written, by a hash of the
    // writing, and a draft written the same way as one of them takes that
    // map's ID at the price of one comparison.
    struct Recent {
        uint64_t fingerprint = 0;
        AttrMapId id = kEmpty;
        AttrDraft writing;
    };
    static constexpr size_t kRecent = 16;

    Slab<AttrCell> cells_;
    StableVec<Record> records_;
    InternIndex index_;
    std::array<Recent, kRecent> recent_;
    size_t last_recent_ = 0;
    // Scratch of `intern`, kept between calls.
    DraftTree tree_;
    std::vector<AttrCell> block_;
    std::vector<Pending> pending_;
    std::vector<uint32_t> order_;
    size_t root_entries_ = 0;
};

namespace attr {

// An attribute tree holding the same value.
[[nodiscard]] AttrMap to_tree(const AttrMapView& map);

}  // namespace attr
}  // namespace vorlix
