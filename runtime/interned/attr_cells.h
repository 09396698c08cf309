// Attribute maps as a graph stores them: flat blocks of sixteen-byte cells,
// and the read-only views that walk them the way attribute trees are walked.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "runtime/attr.h"
#include "runtime/interned/text_table.h"

namespace vorlix {

// Note [Attribute cells]
// One attribute map is one block of cells. Its entries come first, in the
// byte-wise order of their keys; the children of every list, tuple and map
// inside it follow, each container's children contiguous, the containers'
// runs placed breadth first. A cell holds its key (map entries only) and
// every text as IDs of the graph's text table, so that one value has exactly
// one block: equal maps are equal bytes, and a map is interned by its bytes.
struct AttrCell {
    uint32_t key;  // the key's text ID in a map entry, else 0
    AttrKind kind;
    uint8_t reserved[3];  // always zero
    // Bool: 0 or 1. Integer: the two's complement bits. Float: the bit
    // pattern. String and bytes: the text ID. List, tuple and map: the child
    // count in the high half, the first child's offset in the block in the low.
    uint64_t payload;

    [[nodiscard]] static AttrCell make(AttrKind kind, uint64_t payload, uint32_t key = 0) {
        return AttrCell{key, kind, {0, 0, 0}, payload};
    }
    [[nodiscard]] static uint64_t container_payload(uint32_t offset, uint32_t count) {
        return uint64_t{count} << 32 | offset;
    }
};
static_assert(sizeof(AttrCell) == 16, "attribute cells are sixteen bytes");

// One value inside a block: the same accessors as AttrValue, texts and bytes
// as views. Valid while the graph that holds the block lives.
class AttrView {
public:
    AttrView() = default;
    AttrView(const AttrCell* cell, const AttrCell* block, const TextTable* texts)
        : cell_(cell), block_(block), texts_(texts) {}

    [[nodiscard]] AttrKind kind() const { return cell_->kind; }
    [[nodiscard]] bool is_sequence() const { return kind() == AttrKind::List || kind() == AttrKind::Tuple; }
    [[nodiscard]] bool is_container() const { return is_sequence() || kind() == AttrKind::Map; }

    [[nodiscard]] bool as_bool() const { return cell_->payload != 0; }
    [[nodiscard]] int64_t as_integer() const { return static_cast<int64_t>(cell_->payload); }
    [[nodiscard]] uint64_t as_float_bits() const { return cell_->payload; }
    [[nodiscard]] double as_float() const { return std::bit_cast<double>(cell_->payload); }
    [[nodiscard]] std::string_view as_string() const { return (*texts_)[static_cast<TextId>(cell_->payload)]; }
    [[nodiscard]] std::span<const uint8_t> as_bytes() const {
        const std::string_view text = as_string();
        return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
    }
    [[nodiscard]] size_t container_size() const { return is_container() ? cell_->payload >> 32 : 0; }
    // The first of `container_size()` children.
    [[nodiscard]] const AttrCell* children() const { return block_ + static_cast<uint32_t>(cell_->payload); }

    [[nodiscard]] const AttrCell* cell() const { return cell_; }
    [[nodiscard]] const AttrCell* block() const { return block_; }
    [[nodiscard]] const TextTable* texts() const { return texts_; }

private:
    const AttrCell* cell_ = nullptr;
    const AttrCell* block_ = nullptr;
    const TextTable* texts_ = nullptr;
};

// A node's attribute map inside its block.
class AttrMapView {
public:
    struct Entry {
        std::string_view key;
        AttrView value;
    };

    AttrMapView() = default;
    AttrMapView(const AttrCell* block, uint32_t entries, const TextTable* texts)
        : block_(block), entries_(entries), texts_(texts) {}

    [[nodiscard]] size_t size() const { return entries_; }
    [[nodiscard]] bool empty() const { return entries_ == 0; }
    [[nodiscard]] Entry operator[](size_t k) const {
        return {(*texts_)[block_[k].key], AttrView(block_ + k, block_, texts_)};
    }
    // The value under `key`.
    [[nodiscard]] std::optional<AttrView> find(std::string_view key) const {
        for (size_t k = 0; k < entries_; ++k) {
            if ((*texts_)[block_[k].key] == key) return AttrView(block_ + k, block_, texts_);
        }
        return std::nullopt;
    }

    [[nodiscard]] const AttrCell* block() const { return block_; }
    [[nodiscard]] const TextTable* texts() const { return texts_; }

private:
    const AttrCell* block_ = nullptr;
    uint32_t entries_ = 0;
    const TextTable* texts_ = nullptr;
};

namespace attr {

namespace detail {

// Position among a run of cells: the entries of a map or the items of a
// list or tuple.
class CellCursor {
public:
    using Item = AttrView;

    CellCursor() = default;
    CellCursor(const AttrCell* first, size_t count, bool is_map, const AttrCell* block, const TextTable* texts)
        : cell_(first), end_(first + count), block_(block), texts_(texts), is_map_(is_map) {}
    explicit CellCursor(const AttrView& container)
        : CellCursor(container.children(), container.container_size(), container.kind() == AttrKind::Map,
                     container.block(), container.texts()) {}

    [[nodiscard]] bool done() const { return cell_ == end_; }
    [[nodiscard]] bool is_map() const { return is_map_; }
    [[nodiscard]] std::string_view key() const { return (*texts_)[cell_->key]; }
    [[nodiscard]] AttrView item() const { return AttrView(cell_, block_, texts_); }
    void advance() { ++cell_; }
    [[nodiscard]] static const AttrView& deref(const AttrView& item) { return item; }

private:
    const AttrCell* cell_ = nullptr;
    const AttrCell* end_ = nullptr;
    const AttrCell* block_ = nullptr;
    const TextTable* texts_ = nullptr;
    bool is_map_ = false;
};

}  // namespace detail

// `attr::walk` and `attr::walk_entries` over stored values: the same visits
// in the same order as over the attribute trees they stand for.
template <class Visitor>
void walk(const AttrView& root, Visitor& visitor) {
    visitor.value(root);
    if (!root.is_container()) return;
    detail::walk_children(detail::CellCursor(root), visitor);
    visitor.leave(root);
}

template <class Visitor>
void walk_entries(const AttrMapView& map, Visitor& visitor) {
    detail::walk_children(detail::CellCursor(map.block(), map.size(), true, map.block(), map.texts()), visitor);
}

}  // namespace attr
}  // namespace vorlix
