// Owned copies of stored nodes.
#include "runtime/node_view.h"

#include <utility>

namespace vorlix {

NodeMetadata to_owned(const MetadataView& metadata) {
    const std::span<const SpecView> outputs = metadata.outputs();
    std::optional<std::vector<Shape>> shapes;
    std::optional<std::vector<DTypeDescriptor>> dtypes;
    if (outputs.size() > 1) {
        shapes.emplace();
        dtypes.emplace();
        for (const SpecView& spec : outputs) {
            shapes->emplace_back(spec.shape.begin(), spec.shape.end());
            dtypes->push_back(*spec.dtype);
        }
    }
    const auto text = [](std::optional<std::string_view> t) {
        return t ? std::optional<std::string>(std::in_place, *t) : std::nullopt;
    };
    // The stored metadata passed these checks when it was interned.
    return std::move(NodeMetadata::create(attr::to_tree(metadata.attrs()),
                                          Shape(metadata.shape().begin(), metadata.shape().end()), metadata.dtype(),
                                          text(metadata.name()), outputs.size(), std::move(shapes), std::move(dtypes),
                                          text(metadata.source_location())))
        .value();
}

NodeRecord NodeRecord::from(const NodeRef& node) {
    return NodeRecord{node.schema.name, node.parents.to_vec(), to_owned(node.metadata), node.id, node.schema.version};
}

}  // namespace vorlix
