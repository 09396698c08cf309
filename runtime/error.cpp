// Rendering of node references and graph errors: the one place that writes
// "%N", and the one that appends "at node %N".
#include "runtime/error.h"

namespace vorlix {

void append_node_ref(std::string& out, uint64_t id) {
    out += '%';
    out += std::to_string(id);
}

std::string node_ref(uint64_t id) {
    std::string out;
    append_node_ref(out, id);
    return out;
}

std::string GraphError::rendered() const {
    if (!node) return message;
    std::string out;
    out.reserve(message.size() + 20);
    out += message;
    out += " at node ";
    append_node_ref(out, *node);
    return out;
}

}  // namespace vorlix
