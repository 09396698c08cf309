// One bound rule call of a traversal, and the note a failing rule gets.
#pragma once

#include <string_view>

#include "native/dynamic_tape/tape.h"

namespace vorlix::tape {

enum class Direction : uint8_t { Jvp, Vjp };

[[nodiscard]] inline const char* direction_word(Direction d) { return d == Direction::Jvp ? "JVP" : "VJP"; }

// Note [Borrowed during a traversal]
// While a traversal runs, nothing can let go of the tape's rules or of the
// output value, attrs and source location of the node being called: the tape
// is frozen, release, pruning and activity changes are refused until the
// traversal ends, and a consuming reverse walk retires a node's payloads only
// after its rule calls. The rule call therefore borrows them from the tape.

// One bound rule call. The operation name views the tape's operation table,
// which cannot change while a traversal runs; the borrowed objects are None
// where the node has none. See Note [Borrowed during a traversal].
struct Invocation {
    std::string_view op_name;
    PyObject* source_location = Py_None;
    PyObject* rule = nullptr;
    PyObject* output_value = Py_None;
    Ref primals;
    PyObject* attrs = Py_None;
    Ref residual_payload;
    uint32_t node = 0;

    void drop_references() {
        primals.reset();
        residual_payload.reset();
    }
};

[[nodiscard]] bool bind_invocation(TapeState& tape, Direction direction, uint64_t node, size_t op,
                                   Invocation& out);

// The name of one of the tape's operations, for messages; the operation
// table cannot change while a traversal runs.
[[nodiscard]] std::string_view op_name_of(const TapeState& tape, OpId op);

// Adds "while executing {label} for '{op}' at dynamic node %{node}" to the
// raised exception.
[[gnu::cold]] void note_rule_failure(const char* label, std::string_view op_name, uint32_t node);

}  // namespace vorlix::tape
