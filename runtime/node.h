// Node metadata (output specifications, attributes, labels): the owned,
// validated form and the borrowed parts a graph interns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/attr.h"
#include "runtime/dtype.h"
#include "runtime/error.h"
#include "runtime/interned/attr_draft.h"

namespace vorlix {

// Axis extents; empty for a rank-zero value.
using Shape = std::vector<uint64_t>;

// What one output of a node looks like.
struct ValueSpec {
    Shape shape;
    DTypeDescriptor dtype;

    friend bool operator==(const ValueSpec&, const ValueSpec&) = default;
};

// Everything about a node besides its structure. Built only through
// `create`, so every instance has at least one output and its output 0
// agrees with the primary shape and dtype it was given. Immutable; copies
// are deep.
class NodeMetadata {
public:
    // All arguments are consumed; a refusal carries no node ID.
    [[nodiscard]] static Expected<NodeMetadata> create(AttrMap attrs, Shape shape, DTypeDescriptor dtype,
                                                       std::optional<std::string> name, size_t num_outputs,
                                                       std::optional<std::vector<Shape>> output_shapes,
                                                       std::optional<std::vector<DTypeDescriptor>> output_dtypes,
                                                       std::optional<std::string> source_location);

    [[nodiscard]] const Shape& shape() const { return outputs_.front().shape; }
    [[nodiscard]] const DTypeDescriptor& dtype() const { return outputs_.front().dtype; }
    [[nodiscard]] size_t num_outputs() const { return outputs_.size(); }
    [[nodiscard]] std::span<const ValueSpec> outputs() const { return outputs_; }
    // Absent for fewer than two outputs; otherwise one entry per output.
    [[nodiscard]] std::optional<std::vector<Shape>> output_shapes() const;
    [[nodiscard]] std::optional<std::vector<DTypeDescriptor>> output_dtypes() const;
    [[nodiscard]] const std::optional<std::string>& name() const { return name_; }
    [[nodiscard]] const std::optional<std::string>& source_location() const { return source_location_; }
    [[nodiscard]] const AttrMap& attrs() const { return attrs_; }

    // Field-wise: outputs (shape and both dtype texts), name, source
    // location and attributes.
    friend bool operator==(const NodeMetadata&, const NodeMetadata&) = default;

private:
    NodeMetadata(std::vector<ValueSpec> outputs, std::optional<std::string> name,
                 std::optional<std::string> source_location, AttrMap attrs)
        : outputs_(std::move(outputs)),
          name_(std::move(name)),
          source_location_(std::move(source_location)),
          attrs_(std::move(attrs)) {}

    std::vector<ValueSpec> outputs_;
    std::optional<std::string> name_;
    std::optional<std::string> source_location_;
    AttrMap attrs_;
};

// One node's metadata as borrowed parts, the form a graph interns without
// building a NodeMetadata first. Everything it points to must outlive the
// call it is passed to; `attrs` null means no attributes.
struct NodeParts {
    const AttrDraft* attrs = nullptr;
    std::span<const uint64_t> shape;
    const DTypeDescriptor* dtype = nullptr;
    std::optional<std::string_view> name;
    size_t num_outputs = 1;
    const std::vector<Shape>* output_shapes = nullptr;
    const std::vector<DTypeDescriptor>* output_dtypes = nullptr;
    std::optional<std::string_view> source_location;
};

namespace node_metadata {

// The checks of `NodeMetadata::create`, in their order; the output lists are
// absent when null. A refusal carries no node ID.
[[nodiscard]] Status<> check_outputs(std::span<const uint64_t> shape, const DTypeDescriptor& dtype, size_t num_outputs,
                                     const std::vector<Shape>* output_shapes,
                                     const std::vector<DTypeDescriptor>* output_dtypes);
[[nodiscard]] inline Status<> check(const NodeParts& parts) {
    return check_outputs(parts.shape, *parts.dtype, parts.num_outputs, parts.output_shapes, parts.output_dtypes);
}

}  // namespace node_metadata

}  // namespace vorlix
