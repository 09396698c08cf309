// Alias-root sets and the cold messages of plan linking.
#include "runtime/execution/plan.h"

#include <algorithm>

namespace vorlix::execution {

bool AliasRoots::append_copy_of(NodeId source) {
    const auto roots = of(source);
    if (!roots) return false;
    // Appending may move the storage the span views.
    scratch_.assign(roots->begin(), roots->end());
    ids_.insert(ids_.end(), scratch_.begin(), scratch_.end());
    offsets_.push_back(ids_.size());
    return true;
}

bool AliasRoots::append_union_of(const Parents& parents) {
    scratch_.clear();
    for (size_t k = 0; k < parents.size(); ++k) {
        const auto roots = of(parents[k]);
        if (!roots) return false;
        scratch_.insert(scratch_.end(), roots->begin(), roots->end());
    }
    std::sort(scratch_.begin(), scratch_.end());
    scratch_.erase(std::unique(scratch_.begin(), scratch_.end()), scratch_.end());
    ids_.insert(ids_.end(), scratch_.begin(), scratch_.end());
    offsets_.push_back(ids_.size());
    return true;
}

namespace plan_detail {

GraphError invalid_position(std::string_view op, NodeId node, std::string_view kind) {
    std::string message = "linked operation '";
    message += op;
    message += "' at node ";
    append_node_ref(message, node);
    message += " declares an invalid ";
    message += kind;
    message += " position";
    return GraphError(std::move(message));
}

GraphError graph_failure(std::string_view message) { return GraphError(std::string(message)); }

bool same_single_spec(const MetadataView& a, const MetadataView& b) {
    return a.num_outputs() == 1 && b.num_outputs() == 1 && a.outputs().front().id == b.outputs().front().id;
}

}  // namespace plan_detail

}  // namespace vorlix::execution
