// The structural arena: compact, append-only graph structure shared by staged
// graphs and dynamic tapes.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "runtime/error.h"
#include "runtime/stable_vec.h"

namespace vorlix {

using NodeId = uint32_t;
using OpId = uint16_t;

enum class ParentEncoding : uint32_t { None = 0, One = 1, Two = 2, EdgeRange = 3 };

namespace node_flags {
inline constexpr uint8_t kInput = 1u << 0;
inline constexpr uint8_t kActive = 1u << 1;
}  // namespace node_flags

// Sixteen bytes per node. Up to two parents live inline; longer parent lists
// are a range of the arena's shared edge list (first = start, second = count).
struct ArenaNode {
    ParentEncoding encoding;
    uint32_t first;
    uint32_t second;
    OpId op;
    uint8_t flags;
    uint8_t reserved;

    [[nodiscard]] bool is_input() const { return (flags & node_flags::kInput) != 0; }
    [[nodiscard]] bool is_active() const { return (flags & node_flags::kActive) != 0; }
    [[nodiscard]] uint32_t parent_count() const {
        switch (encoding) {
            case ParentEncoding::None: return 0;
            case ParentEncoding::One: return 1;
            case ParentEncoding::Two: return 2;
            case ParentEncoding::EdgeRange: return second;
        }
        return 0;
    }
};
static_assert(sizeof(ArenaNode) == 16, "arena node records are sixteen bytes");

struct OpSchema {
    std::string name;
    uint32_t version;
};

// A node's parents in operand order. For an edge range, `edges` views the
// arena's edge list and is valid until the arena is next appended to.
struct Parents {
    ParentEncoding encoding = ParentEncoding::None;
    uint32_t first = 0;
    uint32_t second = 0;
    std::span<const NodeId> edges;
    uint32_t count = 0;  // the parent count, kept so that reading it needs no branch

    [[nodiscard]] size_t size() const { return count; }
    [[nodiscard]] NodeId operator[](size_t k) const {
        if (encoding == ParentEncoding::EdgeRange) return edges[k];
        return k == 0 ? first : second;
    }
    [[nodiscard]] std::vector<NodeId> to_vec() const;
};

struct StructuralStats {
    uint64_t node_count;
    uint64_t node_capacity;
    uint64_t edge_count;
    uint64_t edge_capacity;
    uint64_t operation_count;
    uint64_t operation_capacity;
    uint64_t index_capacity;
    uint64_t node_bytes;
    uint64_t edge_bytes;
    uint64_t operation_bytes;
    uint64_t index_bytes;
};

// Multiplication that sticks at the largest u64 instead of wrapping.
[[nodiscard]] uint64_t saturating_mul(uint64_t a, uint64_t b);
[[nodiscard]] uint64_t saturating_add(uint64_t a, uint64_t b);

// Interned operation names. The name index is keyed with hash keys drawn per
// table, so that the bucket layout of one table tells nothing about another.
class OpTable {
public:
    OpTable();

    [[nodiscard]] size_t size() const { return schemas_.size(); }
    [[nodiscard]] const OpSchema* schema(size_t op) const { return op < schemas_.size() ? &schemas_[op] : nullptr; }
    [[nodiscard]] std::span<const OpSchema> schemas() const { return schemas_; }
    [[nodiscard]] std::optional<OpId> find(std::string_view name) const;
    [[nodiscard]] Expected<OpId> intern(std::string_view name, uint32_t version);

    [[nodiscard]] size_t schema_capacity() const { return schemas_.capacity(); }
    // An empty index has allocated nothing, whatever its inline bucket says.
    [[nodiscard]] size_t index_capacity() const { return index_.empty() ? 0 : index_.bucket_count(); }
    void reserve(size_t n);

private:
    struct SeededHash {
        std::array<uint64_t, 2> keys;
        size_t operator()(std::string_view s) const noexcept;
        using is_transparent = void;
    };
    struct NameEq {
        bool operator()(std::string_view a, std::string_view b) const noexcept { return a == b; }
        using is_transparent = void;
    };

    std::vector<OpSchema> schemas_;
    std::unordered_map<std::string, OpId, SeededHash, NameEq> index_;
};

class RawArena {
public:
    static constexpr uint64_t kMaxNodes = uint64_t{1} << 32;
    static constexpr size_t kMaxOps = size_t{1} << 16;

    RawArena() = default;
    RawArena(const RawArena&) = delete;
    RawArena& operator=(const RawArena&) = delete;
    RawArena(RawArena&&) noexcept = default;
    RawArena& operator=(RawArena&&) noexcept = default;

    [[nodiscard]] Expected<NodeId> append(std::string_view op_name, uint32_t schema_version,
                                          std::span<const NodeId> parents, uint8_t flags);
    // `append` for an operation already interned by an earlier append with
    // the same name and schema version: the same checks and effects, without
    // the name lookup.
    [[nodiscard]] Expected<NodeId> append_interned(OpId op, std::span<const NodeId> parents, uint8_t flags) {
        // Nodes with at most two parents, nearly all of them, are encoded
        // here inline; the rest, and every refusal, take the general path.
        static_assert(ParentEncoding::One == ParentEncoding{1} && ParentEncoding::Two == ParentEncoding{2});
        const uint64_t n = nodes_.size();
        const size_t k = parents.size();
        if (k <= 2 && n < kMaxNodes && (k < 1 || parents[0] < n) && (k < 2 || parents[1] < n)) {
            nodes_.emplace_back(ArenaNode{static_cast<ParentEncoding>(k), k >= 1 ? parents[0] : 0,
                                          k >= 2 ? parents[1] : 0, op, flags, 0});
            return static_cast<NodeId>(n);
        }
        return append_interned_general(op, parents, flags);
    }
    // `append_interned` for a node of at most two parents (`count` of
    // `first`, `second`; zero where absent) that the caller has checked are
    // earlier nodes: only the node limit is left to refuse it, which appends
    // nothing and returns nothing.
    [[nodiscard]] std::optional<NodeId> append_checked_parents(OpId op, uint32_t count, NodeId first, NodeId second,
                                                               uint8_t flags) {
        const uint64_t n = nodes_.size();
        if (count > 2 || n >= kMaxNodes) return std::nullopt;
        nodes_.emplace_back(ArenaNode{static_cast<ParentEncoding>(count), first, second, op, flags, 0});
        return static_cast<NodeId>(n);
    }
    [[nodiscard]] Status<> replace_activity(std::span<const bool> active);
    [[nodiscard]] StructuralStats structural_stats() const;

    [[nodiscard]] size_t node_count() const { return nodes_.size(); }
    [[nodiscard]] const ArenaNode* node(uint64_t id) const { return id < nodes_.size() ? &nodes_[id] : nullptr; }
    [[nodiscard]] std::span<const NodeId> edges() const { return edges_; }
    [[nodiscard]] const OpTable& ops() const { return ops_; }
    [[nodiscard]] const OpSchema* schema(size_t op) const { return ops_.schema(op); }

    // The parents of a node, or nothing when its edge range lies outside the
    // edge list (which valid appends cannot produce).
    // Inline: the tape walks read every node's parents.
    [[nodiscard]] std::optional<Parents> parents(const ArenaNode& node) const {
        Parents out{node.encoding, node.first, node.second, {}, node.parent_count()};
        if (node.encoding != ParentEncoding::EdgeRange) return out;
        if (uint64_t{node.first} + node.second > edges_.size()) return std::nullopt;
        out.edges = std::span<const NodeId>(edges_).subspan(node.first, node.second);
        return out;
    }

    void reserve(size_t nodes, size_t edges);

private:
    // Checks the node range and the parents and encodes them (the steps
    // before the operation is interned).
    [[nodiscard]] Expected<ArenaNode> prepare_node(std::span<const NodeId> parents, uint8_t flags) const;
    NodeId commit_node(const ArenaNode& record, std::span<const NodeId> parents);
    [[nodiscard]] Expected<NodeId> append_interned_general(OpId op, std::span<const NodeId> parents, uint8_t flags);

    StableVec<ArenaNode> nodes_;
    std::vector<NodeId> edges_;
    OpTable ops_;
};

}  // namespace vorlix
