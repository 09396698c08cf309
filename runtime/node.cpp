// Validating construction of node metadata, and the checks it shares with
// the metadata a graph interns from borrowed parts.
#include "runtime/node.h"

#include <algorithm>

namespace vorlix {

namespace {

[[gnu::cold, gnu::noinline]] GraphError output_count_mismatch(size_t expected, size_t shapes, size_t dtypes) {
    return GraphError("node expects " + std::to_string(expected) + " outputs but got " + std::to_string(shapes) +
                      " shapes and " + std::to_string(dtypes) + " dtypes");
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

namespace node_metadata {

Status<> check_outputs(std::span<const uint64_t> shape, const DTypeDescriptor& dtype, size_t num_outputs,
                       const std::vector<Shape>* output_shapes, const std::vector<DTypeDescriptor>* output_dtypes) {
    if (num_outputs == 0) return GraphError("node num_outputs must be at least 1");
    if (num_outputs == 1) {
        if (output_shapes != nullptr || output_dtypes != nullptr) {
            return GraphError("single-output node must not declare output_shapes/output_dtypes");
        }
        return Status<>::ok();
    }
    if (output_shapes == nullptr || output_dtypes == nullptr) {
        return GraphError("multi-output node is missing output_shapes/output_dtypes");
    }
    if (output_shapes->size() != num_outputs || output_dtypes->size() != num_outputs) {
        return output_count_mismatch(num_outputs, output_shapes->size(), output_dtypes->size());
    }
    if (!std::ranges::equal(output_shapes->front(), shape) || output_dtypes->front() != dtype) {
        return GraphError("output-0 metadata must match the node shape and dtype");
    }
    return Status<>::ok();
}

}  // namespace node_metadata

Expected<NodeMetadata> NodeMetadata::create(AttrMap attrs, Shape shape, DTypeDescriptor dtype,
                                            std::optional<std::string> name, size_t num_outputs,
                                            std::optional<std::vector<Shape>> output_shapes,
                                            std::optional<std::vector<DTypeDescriptor>> output_dtypes,
                                            std::optional<std::string> source_location) {
    if (auto valid = node_metadata::check_outputs(shape, dtype, num_outputs, output_shapes ? &*output_shapes : nullptr,
                                                  output_dtypes ? &*output_dtypes : nullptr);
        !valid) {
        return std::move(valid).error();
    }
    std::vector<ValueSpec> outputs;
    if (num_outputs == 1) {
        outputs.push_back(ValueSpec{std::move(shape), std::move(dtype)});
    } else {
        outputs.reserve(num_outputs);
        for (size_t i = 0; i < num_outputs; ++i) {
            outputs.push_back(ValueSpec{std::move((*output_shapes)[i]), std::move((*output_dtypes)[i])});
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

}  // namespace vorlix
