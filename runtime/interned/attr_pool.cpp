// Interning attribute maps: the canonical layout of a draft, its hash, and
// the conversion of stored maps back into attribute trees.
#include "runtime/interned/attr_pool.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <numeric>
#include <string>
#include <utility>

namespace vorlix {

namespace {

constexpr uint64_t kMaxCells = std::numeric_limits<uint32_t>::max();

[[gnu::cold, gnu::noinline]] GraphError map_too_large() {
    return GraphError("graph attribute map exceeded its size range");
}

}  // namespace

AttrPool::AttrPool() { records_.emplace_back(Record{nullptr, 0, 0}); }

Status<> AttrPool::emit(std::span<const DraftTree::Cell> run, bool is_map, TextTable& texts) {
    const DraftTree& draft = tree_;
    order_.resize(run.size());
    std::iota(order_.begin(), order_.end(), uint32_t{0});
    if (is_map) {
        // Byte-wise key order; equal keys in draft order, so the last of a
        // run of equal keys is the one that was written last.
        std::sort(order_.begin(), order_.end(), [&](uint32_t a, uint32_t b) {
            const std::string_view ka = draft.text(run[a].key());
            const std::string_view kb = draft.text(run[b].key());
            return ka != kb ? ka < kb : a < b;
        });
    }
    for (size_t k = 0; k < order_.size(); ++k) {
        const DraftTree::Cell& cell = run[order_[k]];
        uint32_t key = 0;
        if (is_map) {
            const std::string_view text = draft.text(cell.key());
            if (k + 1 < order_.size() && draft.text(run[order_[k + 1]].key()) == text) continue;
            auto id = texts.intern(text);
            if (!id) return std::move(id).error();
            key = *id;
        }
        uint64_t payload = cell.payload;
        switch (cell.kind()) {
            case AttrKind::String:
            case AttrKind::Bytes: {
                auto id = texts.intern(draft.text(cell.payload));
                if (!id) return std::move(id).error();
                payload = *id;
                break;
            }
            case AttrKind::List:
            case AttrKind::Tuple:
            case AttrKind::Map:
                payload = 0;
                pending_.push_back(Pending{&cell, block_.size()});
                break;
            default: break;
        }
        block_.push_back(AttrCell::make(cell.kind(), payload, key));
    }
    return Status<>::ok();
}

Status<> AttrPool::layout(const AttrDraft& draft, TextTable& texts) {
    tree_.read(draft);
    block_.clear();
    pending_.clear();
    if (auto root = emit(tree_.root(), true, texts); !root) return root;
    root_entries_ = block_.size();
    // Breadth first: each container's children go to the end of the block
    // in the order the containers were laid out.
    for (size_t next = 0; next < pending_.size(); ++next) {
        const Pending container = pending_[next];
        const size_t offset = block_.size();
        const AttrKind kind = container.source->kind();
        if (auto run = emit(tree_.children(*container.source), kind == AttrKind::Map, texts); !run) return run;
        const size_t count = block_.size() - offset;
        if (block_.size() > kMaxCells) return map_too_large();
        block_[container.cell].payload =
            AttrCell::container_payload(static_cast<uint32_t>(offset), static_cast<uint32_t>(count));
    }
    if (block_.size() > kMaxCells) return map_too_large();
    return Status<>::ok();
}

uint64_t AttrPool::hash_block(uint32_t entries) const {
    Hasher hasher(index_.keys());
    hasher.write_u64(entries);
    for (const AttrCell& cell : block_) {
        hasher.write_u64(uint64_t{cell.key} | uint64_t{static_cast<uint8_t>(cell.kind)} << 32);
        hasher.write_u64(cell.payload);
    }
    return hasher.finish();
}

Expected<AttrMapId> AttrPool::intern(const AttrDraft& draft, TextTable& texts) {
    if (draft.empty()) return kEmpty;
    // See Note [Recently written maps]; the one met last is tried first.
    if (Recent& last = recent_[last_recent_]; last.id != kEmpty && last.writing.same_writing(draft)) return last.id;
    const uint64_t fingerprint = draft.fingerprint(index_.keys());
    last_recent_ = fingerprint % kRecent;
    Recent& recent = recent_[last_recent_];
    if (recent.id != kEmpty && recent.fingerprint == fingerprint && recent.writing.same_writing(draft)) {
        return recent.id;
    }
    auto id = intern_new(draft, texts);
    if (!id) return id;
    recent.id = kEmpty;
    recent.writing.assign(draft);
    recent.fingerprint = fingerprint;
    recent.id = *id;
    return id;
}

Expected<AttrMapId> AttrPool::intern_new(const AttrDraft& draft, TextTable& texts) {
    if (auto laid = layout(draft, texts); !laid) return std::move(laid).error();
    const auto root_entries = static_cast<uint32_t>(root_entries_);
    const uint64_t h = hash_block(root_entries);
    const auto cell_count = static_cast<uint32_t>(block_.size());
    const auto same = [&](uint32_t id) {
        const Record& r = records_[id];
        return r.cell_count == cell_count && r.entries == root_entries &&
               std::memcmp(r.cells, block_.data(), block_.size() * sizeof(AttrCell)) == 0;
    };
    if (auto found = index_.find(h, same)) return *found;
    if (records_.size() >= InternIndex::kMaxIds - 1) return GraphError("graph attribute pool exceeded its ID range");
    const auto id = static_cast<AttrMapId>(records_.size());
    // Room first, so that no step after the index entry can fail.
    records_.reserve(records_.size() + 1);
    const std::span<const AttrCell> stored = cells_.append(block_);
    index_.insert(h, id);
    records_.emplace_back(Record{stored.data(), cell_count, root_entries});
    return id;
}

namespace attr {

namespace {

// Rebuilds a walked map bottom-up, as AttrValue's copy does.
class TreeBuilder {
public:
    void key(std::string_view k) { key_.assign(k); }
    void value(const AttrView& v) {
        switch (v.kind()) {
            case AttrKind::Null: place(AttrValue::null()); return;
            case AttrKind::Bool: place(AttrValue::from_bool(v.as_bool())); return;
            case AttrKind::Integer: place(AttrValue::from_integer(v.as_integer())); return;
            case AttrKind::Float: place(AttrValue::from_float_bits(v.as_float_bits())); return;
            case AttrKind::String: place(AttrValue::from_string(std::string(v.as_string()))); return;
            case AttrKind::Bytes: {
                const std::span<const uint8_t> b = v.as_bytes();
                place(AttrValue::from_bytes(Bytes(b.begin(), b.end())));
                return;
            }
            case AttrKind::List:
            case AttrKind::Tuple:
            case AttrKind::Map: open_.push_back(Open{v.kind(), std::move(key_), {}, {}}); return;
        }
    }
    void leave(const AttrView&) {
        Open finished = std::move(open_.back());
        open_.pop_back();
        key_ = std::move(finished.key);
        switch (finished.kind) {
            case AttrKind::List: place(AttrValue::from_list(std::move(finished.items))); return;
            case AttrKind::Tuple: place(AttrValue::from_tuple(std::move(finished.items))); return;
            default: place(AttrValue::from_map(std::move(finished.entries))); return;
        }
    }
    [[nodiscard]] AttrMap take() { return std::move(root_); }

private:
    struct Open {
        AttrKind kind;
        std::string key;
        AttrList items;
        AttrMap entries;
    };

    void place(AttrValue v) {
        if (open_.empty()) {
            root_.insert_or_assign(root_.end(), std::move(key_), std::move(v));
        } else if (open_.back().kind == AttrKind::Map) {
            AttrMap& entries = open_.back().entries;
            entries.insert_or_assign(entries.end(), std::move(key_), std::move(v));
        } else {
            open_.back().items.push_back(std::move(v));
        }
        key_.clear();
    }

    std::vector<Open> open_;
    std::string key_;
    AttrMap root_;
};

}  // namespace

AttrMap to_tree(const AttrMapView& map) {
    TreeBuilder builder;
    walk_entries(map, builder);
    return builder.take();
}

}  // namespace attr
}  // namespace vorlix
