// Appending to the structural arena, interning operations, replacing activity.
#include "runtime/arena.h"

#include <limits>

#include "runtime/hash.h"

namespace vorlix {

namespace {

constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();

}  // namespace

uint64_t saturating_mul(uint64_t a, uint64_t b) {
    uint64_t out = 0;
    return __builtin_mul_overflow(a, b, &out) ? kU64Max : out;
}

uint64_t saturating_add(uint64_t a, uint64_t b) {
    uint64_t out = 0;
    return __builtin_add_overflow(a, b, &out) ? kU64Max : out;
}

std::vector<NodeId> Parents::to_vec() const {
    std::vector<NodeId> out;
    out.reserve(size());
    for (size_t k = 0; k < size(); ++k) out.push_back((*this)[k]);
    return out;
}

OpTable::OpTable() : index_(0, SeededHash{fresh_hash_keys()}) {}

size_t OpTable::SeededHash::operator()(std::string_view s) const noexcept {
    Hasher hasher(keys);
    hasher.write_bytes(s);
    return static_cast<size_t>(hasher.finish());
}

std::optional<OpId> OpTable::find(std::string_view name) const {
    auto it = index_.find(name);
    if (it == index_.end()) return std::nullopt;
    return it->second;
}

Expected<OpId> OpTable::intern(std::string_view name, uint32_t version) {
    if (auto it = index_.find(name); it != index_.end()) {
        const OpId op = it->second;
        if (op >= schemas_.size()) {
            return GraphError("arena operation table contains an invalid operation ID");
        }
        const uint32_t stored = schemas_[op].version;
        if (stored != version) {
            return GraphError("arena operation '" + std::string(name) + "' is already schema version " +
                              std::to_string(stored) + ", not " + std::to_string(version));
        }
        return op;
    }
    if (schemas_.size() >= RawArena::kMaxOps) {
        return GraphError("arena operation table exceeded its ID range");
    }
    const auto op = static_cast<OpId>(schemas_.size());
    schemas_.push_back(OpSchema{std::string(name), version});
    index_.emplace(std::string(name), op);
    return op;
}

void OpTable::reserve(size_t n) {
    schemas_.reserve(n);
    index_.reserve(n);
}

Expected<ArenaNode> RawArena::prepare_node(std::span<const NodeId> parents, uint8_t flags) const {
    const uint64_t n = nodes_.size();
    if (n >= kMaxNodes) return GraphError("arena exceeded its node ID range");
    for (const NodeId p : parents) {
        if (p >= n) {
            return GraphError("node " + node_ref(n) + " must reference only earlier nodes; got input " + node_ref(p));
        }
    }

    ArenaNode record{ParentEncoding::None, 0, 0, 0, flags, 0};
    const uint64_t k = parents.size();
    if (k == 1) {
        record.encoding = ParentEncoding::One;
        record.first = parents[0];
    } else if (k == 2) {
        record.encoding = ParentEncoding::Two;
        record.first = parents[0];
        record.second = parents[1];
    } else if (k >= 3) {
        const uint64_t start = edges_.size();
        if (start > std::numeric_limits<uint32_t>::max()) {
            return GraphError("arena edge range exceeded its index range");
        }
        if (k > std::numeric_limits<uint32_t>::max()) return GraphError("arena node has too many parents");
        if (start + k > std::numeric_limits<uint32_t>::max()) return GraphError("arena edge range overflowed");
        record.encoding = ParentEncoding::EdgeRange;
        record.first = static_cast<uint32_t>(start);
        record.second = static_cast<uint32_t>(k);
    }
    return record;
}

NodeId RawArena::commit_node(const ArenaNode& record, std::span<const NodeId> parents) {
    if (record.encoding == ParentEncoding::EdgeRange) edges_.insert(edges_.end(), parents.begin(), parents.end());
    nodes_.emplace_back(record);
    return static_cast<NodeId>(nodes_.size() - 1);
}

Expected<NodeId> RawArena::append(std::string_view op_name, uint32_t schema_version, std::span<const NodeId> parents,
                                  uint8_t flags) {
    auto record = prepare_node(parents, flags);
    if (!record) return std::move(record).error();
    if (op_name.empty()) return GraphError("arena operation name must not be empty");
    if (schema_version == 0) return GraphError("arena operation schema version must be at least 1");
    auto op = ops_.intern(op_name, schema_version);
    if (!op) return std::move(op).error();
    record->op = *op;
    return commit_node(*record, parents);
}

Expected<NodeId> RawArena::append_interned_general(OpId op, std::span<const NodeId> parents, uint8_t flags) {
    auto record = prepare_node(parents, flags);
    if (!record) return std::move(record).error();
    record->op = op;
    return commit_node(*record, parents);
}

Status<> RawArena::replace_activity(std::span<const bool> active) {
    if (active.size() != nodes_.size()) {
        return GraphError("arena activity table has " + std::to_string(active.size()) + " entries for " +
                          std::to_string(nodes_.size()) + " nodes");
    }
    constexpr auto kKeep = static_cast<uint8_t>(~node_flags::kActive);
    for (size_t i = 0; i < nodes_.size(); ++i) {
        nodes_[i].flags = static_cast<uint8_t>((nodes_[i].flags & kKeep) | (active[i] ? node_flags::kActive : 0));
    }
    return Status<>::ok();
}

StructuralStats RawArena::structural_stats() const {
    StructuralStats s{};
    s.node_count = nodes_.size();
    s.node_capacity = nodes_.capacity();
    s.edge_count = edges_.size();
    s.edge_capacity = edges_.capacity();
    s.operation_count = ops_.size();
    s.operation_capacity = ops_.schema_capacity();
    s.index_capacity = ops_.index_capacity();
    s.node_bytes = saturating_mul(s.node_capacity, 16);
    s.edge_bytes = saturating_mul(s.edge_capacity, 4);
    s.operation_bytes = saturating_mul(s.operation_capacity, 32);
    s.index_bytes = saturating_mul(s.index_capacity, 32);
    return s;
}

void RawArena::reserve(size_t nodes, size_t edges) {
    nodes_.reserve(nodes);
    edges_.reserve(edges);
}

}  // namespace vorlix
