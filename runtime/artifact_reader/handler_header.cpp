// The strict reader's end: the header, the node failure kept until then, the constant keys and the store.
#include "runtime/artifact_reader/handler.h"

#include <utility>

#include "runtime/artifact_reader/numbers.h"

namespace vorlix::artifact::reader {

Expected<GraphStore> ArtifactHandler::finish() && {
    const GraphDraft& g = graph_;
    const HeaderText header{g.format,           g.version,          g.semantic_profile,
                            g.producer,         g.core_opset,       g.semantic_profile_version,
                            g.compiler_version, g.optimizer_version};
    if (std::string failure = check_header(header); !failure.empty()) return GraphError(std::move(failure));
    if (node_error_) return GraphError(std::move(*node_error_));

    std::map<NodeId, PortableConstant> constants;
    for (auto& [key, constant] : constants_) {
        const std::optional<NodeId> id = canonical_node_id(key);
        if (!id) return GraphError(with_quoted("graph constant key ", key) + " is not a canonical node ID");
        constants.emplace(*id, std::move(constant));
    }
    return std::move(assembly_).finish(std::move(graph_.inputs), std::move(graph_.outputs),
                                       graph_.required_array_api_version, std::move(constants));
}

}  // namespace vorlix::artifact::reader
