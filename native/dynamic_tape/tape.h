// Data model of DynamicTape: the arena, the per-node records with their
// Python payloads, the side arenas of operand positions and literals, and the
// per-operation tables installed by freezing.
#pragma once

#include <cstdint>
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

// Shapes of rank up to four live inside the node record.
using Shape = InlineVec<uint64_t, 4>;

struct DynamicNode {
    DynamicNode() = default;
    // A freshly recorded node, its fields moved in place.
    DynamicNode(Shape shape_, Ref name_, Ref source_location_, Ref dtype_, Ref value_, Ref attrs_,
                std::optional<OperandLayout> layout_, bool weak_)
        : shape(std::move(shape_)),
          name(std::move(name_)),
          source_location(std::move(source_location_)),
          dtype(std::move(dtype_)),
          value(std::move(value_)),
          attrs(std::move(attrs_)),
          layout(layout_),
          weak(weak_) {}

    Shape shape;
    Ref name;             // str, or empty
    Ref source_location;  // str, or empty
    Ref dtype;
    Ref value;     // retained payload
    Ref attrs;     // retained payload; empty for inputs
    Ref residual;  // retained payload, attached by record_residual
    std::optional<OperandLayout> layout;
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

// The operand slots of one node and its literal index range.
struct OperandSlots {
    InlineVec<uint32_t, 4> slots;  // one per parent, in parent order
    uint32_t literal_start = 0;
    uint32_t literal_end = 0;
    bool identity = true;  // slots are 0..P-1 and there are no literals
};

// Argument tuples of the reverse rules that never change on a frozen tape,
// made when a reverse walk first needs them and kept per node. They live
// apart from the node records so that recording never touches them.
struct ReverseCache {
    std::vector<Ref> operand_spec;      // (shape, dtype) of the node as an operand
    std::vector<Ref> operand_specs;     // the specs of the node's operands
    std::vector<Ref> active_positions;  // positions of active parents, until activity changes

    // Sizes the tables for `count` nodes on first use.
    void prepare(size_t count) {
        if (operand_spec.size() == count) return;
        // The table whose size is checked grows last: a failed growth
        // leaves it short, and the next walk sizes them all again.
        operand_specs.resize(count);
        active_positions.resize(count);
        operand_spec.resize(count);
    }
};

struct TapeState {
    std::optional<uint64_t> trace_level;
    std::optional<uint64_t> trace_frame_id;
    RawArena arena;
    StableVec<DynamicNode> node_records;
    std::vector<uint32_t> operand_positions;
    std::vector<Ref> literals;
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
    // Raises ValueError "dynamic tape node %{id} does not exist" unless the
    // arena holds `id`.
    [[nodiscard]] bool check_exists(uint64_t id) const;
    // A new reference to the node's value, or nullptr with RuntimeError
    // "dynamic tape is missing {word} payload for node %{id}".
    [[nodiscard]] Ref required_value(uint64_t id, const char* word);
    // Operand slots of a node with `parent_count` parents.
    [[nodiscard]] bool operands(uint64_t id, uint32_t parent_count, OperandSlots& out);
    // Raises RuntimeError for a released tape or a missing record.
    std::nullptr_t raise_missing_record() const;
};

// The Python object.
struct TapeObject {
    PyObject_HEAD
    py::BorrowState borrow;
    TapeState state;
};

[[nodiscard]] inline TapeObject* as_tape(PyObject* self) { return reinterpret_cast<TapeObject*>(self); }

// Node IDs in messages.
[[nodiscard]] std::string node_text(uint64_t id);

inline constexpr const char* kReleasedMessage = "DynamicTape has released its invocation payloads";
inline constexpr const char* kFrozenMessage = "DynamicTape is frozen";
inline constexpr const char* kNotFrozenMessage = "DynamicTape must be frozen before differentiation";

}  // namespace vorlix::tape
