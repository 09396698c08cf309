// Messages of operand interleaving.
#include "runtime/operands.h"

namespace vorlix {

std::string_view interleave_message(InterleaveError error) {
    switch (error) {
        case InterleaveError::PositionUnavailable: return "operand position is unavailable";
        case InterleaveError::LiteralLayoutInconsistent: return "literal layout is inconsistent";
        case InterleaveError::LiteralsUnused: return "literal layout retained unused values";
        case InterleaveError::SlotUninitialized: return "operand slot is uninitialized";
    }
    return "operand slot is uninitialized";
}

}  // namespace vorlix
