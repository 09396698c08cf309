// Rendering of graph errors: the one place that writes "at node %N".
#include "runtime/error.h"

namespace vorlix {

std::string GraphError::rendered() const {
    if (!node) return message;
    std::string out;
    out.reserve(message.size() + 20);
    out += message;
    out += " at node %";
    out += std::to_string(*node);
    return out;
}

}  // namespace vorlix
