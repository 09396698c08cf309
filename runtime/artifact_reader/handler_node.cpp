// The strict reader's nodes: each rebuilt as its object closes.
#include "runtime/artifact_reader/handler.h"

#include <utility>

namespace vorlix::artifact::reader {

void ArtifactHandler::rebuild_node() {
    const uint64_t position = node_count_++;
    if (node_error_) return;
    if (auto failure = rebuild_node_at(position)) node_error_ = std::move(failure);
}

std::optional<std::string> ArtifactHandler::rebuild_node_at(uint64_t position) {
    NodeDraft& n = node_;
    draft_from_map(n.attrs, draft_);
    if (n.has_output_dtypes) output_dtypes_.assign(n.output_dtypes.begin(), n.output_dtypes.end());
    const NodeText text{.id = n.id,
                        .op = n.op,
                        .schema_version = n.schema_version,
                        .inputs = n.inputs,
                        .attrs = &draft_,
                        .shape = n.shape,
                        .dtype = n.dtype,
                        .num_outputs = n.num_outputs,
                        .output_shapes = n.has_output_shapes ? &n.output_shapes : nullptr,
                        .output_dtypes = n.has_output_dtypes ? &output_dtypes_ : nullptr,
                        .name = n.name,
                        .source_location = n.source_location};
    return assembly_.node(position, text);
}

}  // namespace vorlix::artifact::reader
