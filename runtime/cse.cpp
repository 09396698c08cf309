// Common-subexpression elimination: the keys of pure computations, the index that finds repeats, and the pass.
#include <algorithm>
#include <array>
#include <bit>
#include <limits>
#include <memory>
#include <string>
#include <utility>

#include "runtime/hash.h"
#include "runtime/optimize.h"

namespace vorlix::optimizer {

namespace {

// What the pass needs to know of an operation, by operation ID.
enum OpTrait : uint8_t {
    kTranspose = 1u << 0,
    // Operations whose equal-looking nodes still stand for distinct values
    // (fresh buffers, separate inputs and constants): never merged.
    kDistinct = 1u << 1,
};

std::vector<uint8_t> op_traits(const WorkingGraph& graph) {
    static constexpr std::array<std::string_view, 4> kDistinctOps{"vorlix.copy", "array.empty_like", "vorlix.input",
                                                                  "vorlix.const"};
    const std::span<const OpSchema> schemas = graph.store().data().arena.ops().schemas();
    std::vector<uint8_t> traits;
    traits.reserve(schemas.size());
    for (const OpSchema& schema : schemas) {
        uint8_t t = schema.name == kTransposeOp ? kTranspose : 0;
        if (std::find(kDistinctOps.begin(), kDistinctOps.end(), schema.name) != kDistinctOps.end()) t |= kDistinct;
        traits.push_back(t);
    }
    return traits;
}

// Note [Common-subexpression keys]
// Two pure nodes compute the same value when their resolved parents, their
// operation (name and schema version) and their whole metadata are equal;
// names and source locations count, so differently labelled nodes stay
// apart. A graph stores each distinct piece of metadata once, so the key
// holds the node's metadata IDs and compares those, never the metadata
// itself. A transpose whose axes resolve to a permutation is keyed by what
// its attributes then mean instead: the permutation and the backend text
// (its only other attribute), so that absent, null, negative and explicit
// axes meaning the same permutation give equal keys. The node itself keeps
// its attributes.
class CseKey {
public:
    CseKey(OpId op, ParentList parents, MetadataIds ids) : parents_(std::move(parents)), ids_(ids), op_(op) {}
    // `backend` is the text ID of the "_vorlix_backend" string, if any.
    CseKey(OpId op, ParentList parents, MetadataIds ids, std::optional<uint64_t> backend, const Permutation& axes)
        : parents_(std::move(parents)),
          ids_(ids),
          axes_(std::span<const uint64_t>(axes)),
          op_(op),
          canonical_(true),
          has_backend_(backend.has_value()),
          backend_(backend.value_or(0)) {
        ids_.attrs = 0;
    }

    [[nodiscard]] uint64_t hash(std::array<uint64_t, 2> keys) const {
        Hasher hasher(keys);
        hasher.write_u64(uint64_t{op_} | uint64_t{canonical_} << 16 | uint64_t{has_backend_} << 17);
        hasher.write_u64(uint64_t{ids_.spec} << 32 | ids_.extra);
        hasher.write_u64(canonical_ ? backend_ : ids_.attrs);
        hasher.write_u64(parents_.size());
        for (const NodeId p : parents_) hasher.write_u64(p);
        for (const uint64_t axis : axes_) hasher.write_u64(axis);
        return hasher.finish();
    }

    friend bool operator==(const CseKey& a, const CseKey& b) {
        return a.op_ == b.op_ && a.ids_ == b.ids_ && a.canonical_ == b.canonical_ && a.has_backend_ == b.has_backend_ &&
               a.backend_ == b.backend_ && std::ranges::equal(a.parents_, b.parents_) &&
               std::ranges::equal(a.axes_, b.axes_);
    }

private:
    ParentList parents_;
    MetadataIds ids_;
    InlineVec<uint64_t, 4> axes_;
    OpId op_;
    bool canonical_ = false;
    bool has_backend_ = false;
    uint64_t backend_ = 0;
};

[[nodiscard]] Expected<CseKey> cse_key(const WorkingGraph& graph, const WorkingNode& node, ParentList parents,
                                       bool transpose) {
    const MetadataView& metadata = node.ref.metadata;
    const AttrMapView attrs = metadata.attrs();
    if (!transpose || parents.size() != 1 || !safe_transpose_attrs(attrs)) {
        return CseKey(node.op, std::move(parents), metadata.ids());
    }
    auto parent = graph.node(parents[0]);
    if (!parent) return std::move(parent).error();
    const std::optional<Permutation> axes = normalized_axes(attrs, parent->ref.metadata.shape().size());
    if (!axes) return CseKey(node.op, std::move(parents), metadata.ids());
    for (const uint64_t axis : *axes) {
        if (axis > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
            return GraphError("transpose axis exceeded its range", node.ref.id);
        }
    }
    const std::optional<AttrView> backend = transpose_backend(attrs);
    return CseKey(node.op, std::move(parents), metadata.ids(),
                  backend ? std::optional<uint64_t>(backend->cell()->payload) : std::nullopt, *axes);
}

// Note [Common-subexpression table]
// Open addressing with linear probing over a slot array allocated once for
// every node the pass can enter (twice as many slots, so the table is at
// most half full) and never reallocated. Probes, though, stay within a
// power-of-two prefix of it that doubles as entries come and falls back to
// its smallest size when the table is emptied: the pass empties it at every
// effectful node, and the few entries between two effects then share a few
// cache lines instead of being scattered over an array sized for the whole
// graph. Emptying clears just the slots in use and growing re-enters just
// the entries, so both cost what was entered, and slots are first touched
// when the prefix first reaches them. Only lookups and insertions are made,
// so the randomly keyed hash decides nothing but the probe order.
class CseTable {
public:
    explicit CseTable(size_t capacity)
        : capacity_(std::bit_ceil(std::max(kMinSlots, 2 * capacity))),
          slots_(std::make_unique_for_overwrite<Slot[]>(capacity_)),
          keys_(fresh_hash_keys()) {
        extend(kMinSlots);
    }

    // The node entered under a key equal to `key`, or nothing after entering
    // `key` for `node`.
    [[nodiscard]] std::optional<NodeId> find_or_insert(CseKey key, NodeId node) {
        const uint64_t hash = key.hash(keys_);
        const uint32_t tag = tag_of(hash);
        for (size_t i = hash & (live_ - 1);; i = (i + 1) & (live_ - 1)) {
            const Slot& slot = slots_[i];
            if (slot.tag == 0) break;
            if (slot.tag != tag) continue;
            const Entry& entry = entries_[slot.entry];
            if (entry.hash == hash && entry.key == key) return entry.node;
        }
        if (2 * (entries_.size() + 1) > live_) extend(2 * live_);
        entries_.push_back(Entry{std::move(key), hash, 0, node});
        place(entries_.size() - 1);
        return std::nullopt;
    }

    void clear() {
        for (const Entry& entry : entries_) slots_[entry.slot] = Slot{};
        entries_.clear();
        live_ = kMinSlots;
    }

private:
    static constexpr size_t kMinSlots = 64;

    // Empty when the tag is 0; occupied tags have their top bit set.
    struct Slot {
        uint32_t entry;
        uint32_t tag;
    };
    struct Entry {
        CseKey key;
        uint64_t hash;
        size_t slot;
        NodeId node;
    };

    static uint32_t tag_of(uint64_t hash) { return static_cast<uint32_t>(hash >> 32) | 0x8000'0000u; }

    // Puts entry `e` into the first free slot of its probe sequence.
    void place(size_t e) {
        Entry& entry = entries_[e];
        size_t i = entry.hash & (live_ - 1);
        while (slots_[i].tag != 0) i = (i + 1) & (live_ - 1);
        slots_[i] = Slot{static_cast<uint32_t>(e), tag_of(entry.hash)};
        entry.slot = i;
    }

    // Widens the probed prefix to `live` slots (never past the allocation,
    // which holds twice the entries the pass can make) and re-enters the
    // entries into it.
    void extend(size_t live) {
        live = std::min(live, capacity_);
        if (live > zeroed_) {
            std::fill(slots_.get() + zeroed_, slots_.get() + live, Slot{0, 0});
            zeroed_ = live;
        }
        for (const Entry& entry : entries_) slots_[entry.slot] = Slot{0, 0};
        live_ = live;
        for (size_t e = 0; e < entries_.size(); ++e) place(e);
    }

    size_t capacity_;
    std::unique_ptr<Slot[]> slots_;
    size_t zeroed_ = 0;
    size_t live_ = 0;
    std::vector<Entry> entries_;
    std::array<uint64_t, 2> keys_;
};

// Note [First readers]
// Most nodes are so far the only reader of their first parent, and such a
// node cannot repeat an earlier one: an equal key has the same first
// parent. So the index notes the first reader of each parent in a per-node
// array, touched where the graph is being read (parents lie just below
// their users), and builds that reader's key and enters it into the table
// only when a second reader of the same parent comes. A long chain thus
// never builds a key at all. Emptying the index moves the array to a new
// epoch instead of clearing it.
class CseIndex {
public:
    CseIndex(const WorkingGraph& graph, std::span<const uint8_t> traits, size_t capacity)
        : graph_(graph), traits_(traits), table_(capacity), first_readers_(graph.node_count()) {}

    // The node entered earlier under a key equal to u's, or nothing after
    // entering u.
    [[nodiscard]] Expected<std::optional<NodeId>> find_or_enter(const WorkingNode& u, ParentList parents) {
        if (!parents.empty()) {
            FirstReader& first = first_readers_[parents[0]];
            if ((first.stamp & ~kEntered) != epoch_) {
                first = FirstReader{u.ref.id, epoch_};
                return std::optional<NodeId>();
            }
            if (first.stamp == epoch_) {
                // The first reader had no earlier equal when it came, so
                // entering it now finds none either.
                auto key = key_of(first.node);
                if (!key) return std::move(key).error();
                (void)table_.find_or_insert(std::move(*key), first.node);
                first.stamp = epoch_ | kEntered;
            }
        }
        auto key = cse_key(graph_, u, std::move(parents), (traits_[u.op] & kTranspose) != 0);
        if (!key) return std::move(key).error();
        return table_.find_or_insert(std::move(*key), u.ref.id);
    }

    void clear() {
        table_.clear();
        epoch_ += 2;
        if (epoch_ == 0) {
            std::fill(first_readers_.begin(), first_readers_.end(), FirstReader{});
            epoch_ = 2;
        }
    }

private:
    // Current when `stamp` is the epoch, alone (noted only) or with
    // kEntered (its key is in the table).
    struct FirstReader {
        NodeId node = 0;
        uint32_t stamp = 0;
    };
    static constexpr uint32_t kEntered = 1;

    [[nodiscard]] Expected<CseKey> key_of(NodeId id) const {
        auto node = graph_.node(id);
        if (!node) return std::move(node).error();
        auto parents = graph_.resolved_parents(id);
        if (!parents) return std::move(parents).error();
        return cse_key(graph_, *node, std::move(*parents), (traits_[node->op] & kTranspose) != 0);
    }

    const WorkingGraph& graph_;
    std::span<const uint8_t> traits_;
    CseTable table_;
    std::vector<FirstReader> first_readers_;
    uint32_t epoch_ = 2;
};

}  // namespace

Expected<uint64_t> eliminate_common_subexpressions(WorkingGraph& graph) {
    auto protected_nodes = graph.effect_reachable();
    if (!protected_nodes) return std::move(protected_nodes).error();
    const std::vector<uint8_t> traits = op_traits(graph);
    const std::vector<NodeId> snapshot = graph.representatives();
    CseIndex index(graph, traits, snapshot.size());
    uint64_t rewrites = 0;
    for (const NodeId u : snapshot) {
        auto node = graph.node(u);
        if (!node) return std::move(node).error();
        // No merge crosses an effectful operation.
        if (!node->pure) {
            index.clear();
            continue;
        }
        if ((*protected_nodes)[u] != 0 || (traits[node->op] & kDistinct) != 0) continue;
        auto parents = graph.resolved_parents(u);
        if (!parents) return std::move(parents).error();
        auto earlier = index.find_or_enter(*node, std::move(*parents));
        if (!earlier) return std::move(earlier).error();
        // A graph output keeps its own node even when it repeats one.
        if (!*earlier || graph.is_output(u)) continue;
        if (auto aliased = graph.alias_node(u, **earlier); !aliased) return std::move(aliased).error();
        ++rewrites;
    }
    return rewrites;
}

}  // namespace vorlix::optimizer
