// The node metadata of one graph, stored compactly: twelve bytes of IDs per
// node, into tables where every dtype, shape, attribute map and label of the
// graph is stored once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "runtime/dtype.h"
#include "runtime/error.h"
#include "runtime/interned/attr_pool.h"
#include "runtime/interned/intern_index.h"
#include "runtime/interned/slab.h"
#include "runtime/interned/text_table.h"
#include "runtime/node.h"
#include "runtime/stable_vec.h"

namespace vorlix {

using DTypeId = uint32_t;
using SpecId = uint32_t;
using ExtraId = uint32_t;

// One interned output specification: a shape and a dtype. Within one graph,
// equal specifications are the same record (equal `id`). Every view stays
// valid for the graph's lifetime.
struct SpecView {
    std::span<const uint64_t> shape;
    const DTypeDescriptor* dtype;
    DTypeId dtype_id;
    SpecId id;
};

// One node's metadata as IDs. Within one graph, two nodes have equal metadata
// (outputs, name, source location, attributes) exactly when their IDs are
// equal.
struct MetadataIds {
    SpecId spec;  // output 0
    AttrMapId attrs;
    ExtraId extra;  // name, source location, further outputs; 0 when none
    friend bool operator==(const MetadataIds&, const MetadataIds&) = default;
};
static_assert(sizeof(MetadataIds) == 12);

class MetadataTable;

// One node's metadata read through its graph's tables: the accessors of
// NodeMetadata, as views. Valid while the graph lives.
class MetadataView {
public:
    MetadataView(const MetadataTable& table, MetadataIds ids) : table_(&table), ids_(ids) {}

    [[nodiscard]] std::span<const uint64_t> shape() const { return outputs().front().shape; }
    [[nodiscard]] const DTypeDescriptor& dtype() const { return *outputs().front().dtype; }
    [[nodiscard]] size_t num_outputs() const { return outputs().size(); }
    // Output 0 first.
    [[nodiscard]] std::span<const SpecView> outputs() const;
    [[nodiscard]] std::optional<std::string_view> name() const;
    [[nodiscard]] std::optional<std::string_view> source_location() const;
    [[nodiscard]] AttrMapView attrs() const;
    [[nodiscard]] MetadataIds ids() const { return ids_; }

private:
    const MetadataTable* table_;
    MetadataIds ids_;
};

// Appends intern their parts first and only then take a node, so a refused
// part leaves no node behind (at most table entries no node uses).
class MetadataTable {
public:
    MetadataTable();
    MetadataTable(const MetadataTable&) = delete;
    MetadataTable& operator=(const MetadataTable&) = delete;
    MetadataTable(MetadataTable&&) noexcept = default;
    MetadataTable& operator=(MetadataTable&&) noexcept = default;

    [[nodiscard]] size_t size() const { return nodes_.size(); }
    // `id` must be below `size()`.
    [[nodiscard]] MetadataView operator[](size_t id) const { return MetadataView(*this, nodes_[id]); }

    // The IDs of `parts`, which `node_metadata::check` has accepted, entering
    // what is new. Fails only when a table runs out of IDs.
    [[nodiscard]] Expected<MetadataIds> intern(const NodeParts& parts);
    // Makes the next `push` unable to fail; throws std::bad_alloc.
    void reserve_one() { nodes_.reserve(nodes_.size() + 1); }
    void push(MetadataIds ids) { nodes_.emplace_back(ids); }
    // Keeps the nodes listed, ascending, in their order; the tables stay.
    void retain(std::span<const uint32_t> ids);

    // Table reads.
    [[nodiscard]] const SpecView& spec(SpecId id) const { return specs_[id]; }
    [[nodiscard]] const TextTable& texts() const { return texts_; }
    [[nodiscard]] AttrMapView attrs(AttrMapId id) const { return attrs_.map(id, texts_); }
    // How many of each the tables hold: every ID is below its count.
    [[nodiscard]] size_t spec_count() const { return specs_.size(); }
    [[nodiscard]] size_t attr_map_count() const { return attrs_.size(); }
    [[nodiscard]] size_t extra_count() const { return extras_.size(); }
    [[nodiscard]] size_t reserved_bytes() const;

private:
    friend class MetadataView;

    struct Extra {
        std::span<const SpecView> outputs;  // empty for a single output
        TextId name;
        TextId source_location;
        bool has_name;
        bool has_source_location;
    };

    [[nodiscard]] Expected<DTypeId> intern_dtype(const DTypeDescriptor& dtype);
    [[nodiscard]] Expected<SpecId> intern_spec(std::span<const uint64_t> shape, const DTypeDescriptor& dtype);
    [[nodiscard]] Expected<ExtraId> intern_extra(const NodeParts& parts, SpecId first);

    TextTable texts_;
    AttrPool attrs_;
    StableVec<DTypeDescriptor> dtypes_;
    InternIndex dtype_index_;
    Slab<uint64_t> extents_;
    StableVec<SpecView> specs_;
    InternIndex spec_index_;
    StableVec<Extra> extras_;
    Slab<SpecView> extra_outputs_;
    InternIndex extra_index_;
    StableVec<MetadataIds> nodes_;
    // The specification interned last: consecutive nodes mostly share one.
    std::optional<SpecId> last_spec_;
    std::vector<SpecView> scratch_outputs_;
};

inline std::span<const SpecView> MetadataView::outputs() const {
    if (ids_.extra != 0) {
        const std::span<const SpecView> more = table_->extras_[ids_.extra].outputs;
        if (!more.empty()) return more;
    }
    return std::span<const SpecView>(&table_->specs_[ids_.spec], 1);
}

inline AttrMapView MetadataView::attrs() const { return table_->attrs(ids_.attrs); }

}  // namespace vorlix
