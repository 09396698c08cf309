// Data model of DynamicTape: the arena, the per-node records with their
// Python payloads, the side arenas of operand positions and literals, and the
// per-operation tables installed by freezing.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "native/toolkit/borrow.h"
#include "native/toolkit/python.h"
#include "native/toolkit/ref.h"
#include "runtime/arena.h"
#include "runtime/inline_vec.h"
#include "runtime/stable_vec.h"

namespace vorlix::tape {

using py::Ref;

inline constexpr const char* kInputOp = "vorlix.input";

// Where a node's explicit operand positions and literals lie in the tape's
// two side arenas. Nodes whose parents fill operands 0..P-1 with no literals
// store none.
struct OperandLayout {
    uint32_t position_start = 0;
    uint32_t literal_start = 0;
    uint32_t literal_len = 0;
};

// Shapes of rank up to four are stored without a heap block.
using Shape = InlineVec<uint64_t, 4>;

// Note [Node record layout]
// A tape holds one record per node, so the record keeps only what nearly
// every node has: its value and attrs, and small indices. The shape and
// dtype live in a table of value specs that consecutive nodes with the same
// shape and the same dtype object share; the name, source location,
// residual and operand layout, which most nodes lack, live in a side table
// of node extras that a node points into only when it has one of them.

// The shape and dtype of one or more nodes.
struct ValueSpec {
    ValueSpec(Shape shape_, Ref dtype_) : shape(std::move(shape_)), dtype(std::move(dtype_)) {}

    Shape shape;
    Ref dtype;         // held for the tape's whole life
    Ref operand_spec;  // (shape, dtype) tuple, made when a reverse walk first needs it
};

// The rarely set fields of a node.
struct NodeExtras {
    Ref name;             // str, or empty
    Ref source_location;  // str, or empty
    Ref residual;         // retained payload, attached by record_residual
    std::optional<OperandLayout> layout;
};

struct DynamicNode {
    static constexpr uint32_t kNoExtras = 0;

    DynamicNode() = default;
    DynamicNode(Ref value_, Ref attrs_, uint32_t spec_, uint32_t extras_, bool weak_)
        : value(std::move(value_)), attrs(std::move(attrs_)), spec(spec_), extras(extras_), weak(weak_) {}

    Ref value;                    // retained payload
    Ref attrs;                    // retained payload; empty for inputs
    uint32_t spec = 0;            // index into the tape's value specs
    uint32_t extras = kNoExtras;  // 1 + index into the tape's node extras, or kNoExtras
    uint32_t reverse_value_uses = 0;
    bool weak = false;
    bool output_marked = false;
};

struct ReverseNeeds {
    bool needs_output;
    bool needs_inputs;
    bool needs_residual;
};

enum class Traversal : uint8_t { Idle, Forward, Reverse };

// What a method requires of the tape's state, checked in this order:
// not consumed, then frozen or not.
enum class Requirement : uint8_t {
    Anything,   // no state check
    Live,       // not consumed
    Recording,  // not consumed, not frozen
    Frozen,     // not consumed, frozen
};

// The operand specs tuple of each node, which never changes on a frozen
// tape, made when a reverse walk first needs it. Kept apart from the node
// records so that recording never touches it.
struct ReverseCache {
    std::vector<Ref> operand_specs;
    // The node whose tuple was made last: the next node with the same specs
    // shares it, as neighbouring nodes mostly do.
    size_t last_made = std::numeric_limits<size_t>::max();

    // Sizes the table for `count` nodes on first use.
    void prepare(size_t count) {
        if (operand_specs.size() != count) operand_specs.resize(count);
    }
};

struct TapeState {
    std::optional<uint64_t> trace_level;
    std::optional<uint64_t> trace_frame_id;
    RawArena arena;
    StableVec<DynamicNode> node_records;
    StableVec<ValueSpec> value_specs;  // See Note [Node record layout].
    StableVec<NodeExtras> node_extras;
    StableVec<uint32_t> operand_positions;  // chunked, like the records: never copied to grow
    StableVec<Ref> literals;
    std::vector<Ref> jvp_bindings;
    std::vector<Ref> vjp_bindings;
    std::vector<std::optional<ReverseNeeds>> reverse_needs;
    std::vector<uint32_t> inputs;
    std::vector<uint32_t> outputs;
    ReverseCache reverse_cache;
    bool frozen = false;
    bool consumed = false;
    bool reverse_pruned = false;
    Traversal traversal = Traversal::Idle;

    // The operation name and schema version of the latest recording and the
    // operation they interned: a tape records the same few names over and
    // over, and the same str object names the same operation.
    Ref last_op_name;
    uint32_t last_op_version = 0;
    OpId last_op = 0;

    // Raises RuntimeError "DynamicTape has released its invocation
    // payloads", "DynamicTape is frozen" or "DynamicTape must be frozen
    // before differentiation" unless the state meets `requirement`.
    [[nodiscard]] bool check(Requirement requirement) const;
    // Raises RuntimeError "cannot {action} during traversal" unless idle.
    [[nodiscard]] bool check_idle(const char* action) const;
    // Node lookup: the record, or nullptr with RuntimeError raised.
    [[nodiscard]] DynamicNode* node(uint64_t id);
    // The shape and dtype of a present record.
    [[nodiscard]] ValueSpec& spec_of(const DynamicNode& node) { return value_specs[node.spec]; }
    // The extras of a present record, or nullptr when it has none.
    [[nodiscard]] NodeExtras* extras_of(const DynamicNode& node) {
        return node.extras == DynamicNode::kNoExtras ? nullptr : &node_extras[node.extras - 1];
    }
    [[nodiscard]] const NodeExtras* extras_of(const DynamicNode& node) const {
        return node.extras == DynamicNode::kNoExtras ? nullptr : &node_extras[node.extras - 1];
    }
    // The extras of a present record, made empty when it has none; nullptr
    // with RuntimeError raised when the table is full.
    [[nodiscard]] NodeExtras* ensure_extras(DynamicNode& node);
    // The residual slot of a present record, or nullptr when it has none.
    [[nodiscard]] const Ref* residual_of(const DynamicNode& node) const {
        const NodeExtras* extras = extras_of(node);
        return extras != nullptr && extras->residual ? &extras->residual : nullptr;
    }
    // Raises ValueError "dynamic tape node %{id} does not exist" unless the
    // arena holds `id`.
    [[nodiscard]] bool check_exists(uint64_t id) const;
    // A new reference to the node's value, or nullptr with RuntimeError
    // "dynamic tape is missing {word} payload for node %{id}".
    [[nodiscard]] Ref required_value(uint64_t id, const char* word);
    // Raises that RuntimeError; returns false.
    [[gnu::cold]] bool raise_missing_payload(uint64_t id, const char* word) const;
    // The same as a borrowed reference, valid while the value stays in its
    // slot.
    [[nodiscard]] PyObject* required_payload(uint64_t id, const char* word);
    // Raises RuntimeError for a released tape or a missing record.
    std::nullptr_t raise_missing_record() const;
};

// The Python object.
struct TapeObject {
    PyObject_HEAD py::BorrowState borrow;
    TapeState state;
};

[[nodiscard]] inline TapeObject* as_tape(PyObject* self) { return reinterpret_cast<TapeObject*>(self); }

inline constexpr uint64_t kU32Max = std::numeric_limits<uint32_t>::max();
inline constexpr const char* kEdgeRangeMessage = "dynamic tape edge range is invalid";
inline constexpr const char* kReleasedMessage = "DynamicTape has released its invocation payloads";
inline constexpr const char* kFrozenMessage = "DynamicTape is frozen";
inline constexpr const char* kNotFrozenMessage = "DynamicTape must be frozen before differentiation";

}  // namespace vorlix::tape
