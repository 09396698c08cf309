// The cold paths of a node's JVP rule call.
#include "native/dynamic_tape/forward_call.h"

namespace vorlix::tape {

bool ForwardCall::raise_missing_record(const TapeState& tape) {
    tape.raise_missing_record();
    return false;
}

bool ForwardCall::note_failure(const TapeState& tape) const {
    note_rule_failure("JVP", op_name_of(tape, op_), node_);
    return false;
}

}  // namespace vorlix::tape
