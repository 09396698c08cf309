// The cold messages of plan execution.
#include "runtime/execution/evaluate.h"

namespace vorlix::execution::evaluate_detail {

std::string node_message(std::string_view prefix, NodeId id, std::string_view suffix) {
    std::string message(prefix);
    append_node_ref(message, id);
    message += suffix;
    return message;
}

std::string missing_parent(std::string_view op, NodeId node, NodeId parent) {
    std::string message = "staged operation '";
    message += op;
    message += "' at node ";
    append_node_ref(message, node);
    message += " is missing parent value ";
    append_node_ref(message, parent);
    return message;
}

std::string count_mismatch(std::string_view what, size_t expected, size_t received) {
    std::string message = "staged graph expects ";
    message += std::to_string(expected);
    message += ' ';
    message += what;
    message += " but received ";
    message += std::to_string(received);
    return message;
}

}  // namespace vorlix::execution::evaluate_detail
