// Finding a walk's rules, and the note a failing rule gets.
#include "native/dynamic_tape/rule_call.h"

#include <string>

#include "native/toolkit/errors.h"

namespace vorlix::tape {

std::nullptr_t raise_unbound(const TapeState& tape, Direction direction, OpId op) {
    const OpSchema* schema = tape.arena.schema(op);
    if (schema == nullptr) return py::raise(py::ErrorKind::Runtime, "dynamic tape has an invalid operation ID");
    return py::raise(py::ErrorKind::Runtime,
                     "dynamic operation '" + schema->name + "' has no " + direction_word(direction) + " binding");
}

std::string_view op_name_of(const TapeState& tape, OpId op) {
    const OpSchema* schema = tape.arena.schema(op);
    return schema != nullptr ? std::string_view(schema->name) : std::string_view();
}

void note_rule_failure(const char* label, std::string_view op_name, uint32_t node) {
    std::string note = "while executing ";
    note += label;
    note += " for '";
    note += op_name;
    note += "' at dynamic node ";
    note += node_ref(node);
    py::add_note_to_current(note);
}

}  // namespace vorlix::tape
