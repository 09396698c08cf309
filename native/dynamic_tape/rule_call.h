// What the rule calls of both walk directions share: the direction, finding
// an operation's rule, and the note a failing rule gets.
#pragma once

#include <string_view>

#include "native/dynamic_tape/tape.h"

namespace vorlix::tape {

enum class Direction : uint8_t { Jvp, Vjp };

[[nodiscard]] inline const char* direction_word(Direction d) { return d == Direction::Jvp ? "JVP" : "VJP"; }

// Raises RuntimeError "dynamic tape has an invalid operation ID" or
// "dynamic operation '{op}' has no {JVP|VJP} binding".
[[gnu::cold]] std::nullptr_t raise_unbound(const TapeState& tape, Direction direction, OpId op);

// The rule of operation `op` in `direction`, borrowed from the tape's
// binding table (see Note [What a walk relies on]); nullptr with the
// exception raised when it has none.
[[nodiscard]] inline PyObject* rule_of(const TapeState& tape, Direction direction, OpId op) {
    const std::vector<Ref>& table = direction == Direction::Jvp ? tape.jvp_bindings : tape.vjp_bindings;
    if (op < table.size() && table[op]) return table[op].get();
    return raise_unbound(tape, direction, op);
}

// The name of one of the tape's operations, for messages; the operation
// table cannot change while a traversal runs.
[[nodiscard]] std::string_view op_name_of(const TapeState& tape, OpId op);

// Adds "while executing {label} for '{op}' at dynamic node %{node}" to the
// raised exception.
[[gnu::cold]] void note_rule_failure(const char* label, std::string_view op_name, uint32_t node);

}  // namespace vorlix::tape
