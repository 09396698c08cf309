// Binding a node's rule call for a traversal, and the note a failing rule
// gets.
#include "native/dynamic_tape/invocation.h"

#include <limits>
#include <string>

#include "native/toolkit/errors.h"

namespace vorlix::tape {

using py::ErrorKind;
using py::raise;

namespace {


}  // namespace

bool bind_invocation(TapeState& tape, Direction direction, uint64_t node, size_t op, Invocation& out) {
    if (node > kU32Max) return py::fail(ErrorKind::Runtime, "dynamic node ID overflowed");
    const OpSchema* schema = tape.arena.schema(op);
    if (schema == nullptr) return py::fail(ErrorKind::Runtime, "dynamic tape has an invalid operation ID");
    const std::vector<Ref>& table = direction == Direction::Jvp ? tape.jvp_bindings : tape.vjp_bindings;
    if (op >= table.size() || !table[op]) {
        return py::fail(ErrorKind::Runtime, "dynamic operation '" + schema->name + "' has no " +
                                             direction_word(direction) + " binding");
    }
    DynamicNode* record = tape.node(node);
    if (record == nullptr) return false;
    out.op_name = schema->name;
    const NodeExtras* extras = tape.extras_of(*record);
    out.source_location =
        extras != nullptr && extras->source_location ? extras->source_location.get() : Py_None;
    out.rule = table[op].get();
    out.output_value = Py_None;
    out.primals.reset();
    out.attrs = record->attrs ? record->attrs.get() : Py_None;
    out.residual_payload = Ref::none();
    out.node = static_cast<uint32_t>(node);
    return true;
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
