// Validating construction of node metadata, and node records.
#include "runtime/node.h"

namespace vorlix {

namespace {

[[gnu::cold, gnu::noinline]] GraphError output_count_mismatch(size_t expected, size_t shapes, size_t dtypes) {
    return GraphError("node expects " + std::to_string(expected) + " outputs but got " + std::to_string(shapes) +
                      " shapes and " + std::to_string(dtypes) + " dtypes");
}

void hash_optional_text(Hasher& hasher, const std::optional<std::string>& text) {
    hasher.write_u8(text.has_value() ? 1 : 0);
    if (text) hasher.write_terminated(*text);
}

// One field of every output, or nothing for a single-output node.
template <class T>
std::optional<std::vector<T>> collect_outputs(std::span<const ValueSpec> outputs, T ValueSpec::*field) {
    if (outputs.size() < 2) return std::nullopt;
    std::vector<T> out;
    out.reserve(outputs.size());
    for (const ValueSpec& spec : outputs) out.push_back(spec.*field);
    return out;
}

}  // namespace

Expected<NodeMetadata> NodeMetadata::create(AttrMap attrs, Shape shape, DTypeDescriptor dtype,
                                            std::optional<std::string> name, size_t num_outputs,
                                            std::optional<std::vector<Shape>> output_shapes,
                                            std::optional<std::vector<DTypeDescriptor>> output_dtypes,
                                            std::optional<std::string> source_location) {
    if (num_outputs == 0) return GraphError("node num_outputs must be at least 1");
    std::vector<ValueSpec> outputs;
    if (num_outputs == 1) {
        if (output_shapes || output_dtypes) {
            return GraphError("single-output node must not declare output_shapes/output_dtypes");
        }
        outputs.push_back(ValueSpec{std::move(shape), std::move(dtype)});
    } else {
        if (!output_shapes || !output_dtypes) {
            return GraphError("multi-output node is missing output_shapes/output_dtypes");
        }
        if (output_shapes->size() != num_outputs || output_dtypes->size() != num_outputs) {
            return output_count_mismatch(num_outputs, output_shapes->size(), output_dtypes->size());
        }
        outputs.reserve(num_outputs);
        for (size_t i = 0; i < num_outputs; ++i) {
            outputs.push_back(ValueSpec{std::move((*output_shapes)[i]), std::move((*output_dtypes)[i])});
        }
        if (outputs.front().shape != shape || outputs.front().dtype != dtype) {
            return GraphError("output-0 metadata must match the node shape and dtype");
        }
    }
    return NodeMetadata(std::move(outputs), std::move(name), std::move(source_location), std::move(attrs));
}

std::optional<std::vector<Shape>> NodeMetadata::output_shapes() const {
    return collect_outputs(outputs_, &ValueSpec::shape);
}

std::optional<std::vector<DTypeDescriptor>> NodeMetadata::output_dtypes() const {
    return collect_outputs(outputs_, &ValueSpec::dtype);
}

NodeMetadata NodeMetadata::with_attrs(AttrMap attrs) const {
    return NodeMetadata(outputs_, name_, source_location_, std::move(attrs));
}

void NodeMetadata::hash_into(Hasher& hasher) const {
    hasher.write_u64(outputs_.size());
    for (const ValueSpec& spec : outputs_) {
        hasher.write_u64(spec.shape.size());
        for (const uint64_t extent : spec.shape) hasher.write_u64(extent);
        hasher.write_terminated(spec.dtype.canonical());
        hasher.write_terminated(spec.dtype.name());
    }
    hash_optional_text(hasher, name_);
    hash_optional_text(hasher, source_location_);
    attr::hash_map_into(hasher, attrs_);
}

NodeRecord NodeRecord::from(const NodeRef& node) {
    return NodeRecord{node.schema.name, node.parents.to_vec(), node.metadata, node.id, node.schema.version};
}

}  // namespace vorlix
