// The cold messages of plan execution.
#include "runtime/execution/evaluate.h"

namespace vorlix::execution::evaluate_detail {

std::string node_message(std::string_view prefix, NodeId id, std::string_view suffix) {
    std::string message(prefix);
    message += std::to_string(id);
    message += suffix;
    return message;
}

std::string missing_parent(std::string_view op, NodeId node, NodeId parent) {
    std::string message = "staged operation '";
    message += op;
    message += "' at node %";
    message += std::to_string(node);
    message += " is missing parent value %";
    message += std::to_string(parent);
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
