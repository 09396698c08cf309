// Node metadata (output specifications, attributes, labels) and the borrowed and owned views of a node.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "runtime/arena.h"
#include "runtime/attr.h"
#include "runtime/dtype.h"
#include "runtime/error.h"
#include "runtime/hash.h"

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

    // A copy whose attributes are replaced, everything else kept.
    [[nodiscard]] NodeMetadata with_attrs(AttrMap attrs) const;

    // Field-wise: outputs (shape and both dtype texts), name, source
    // location and attributes.
    friend bool operator==(const NodeMetadata&, const NodeMetadata&) = default;
    // Consistent with ==; feeds every field compared there.
    void hash_into(Hasher& hasher) const;

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

// A borrowed view of one node of a graph store: valid while the store lives.
struct NodeRef {
    Parents parents;
    const OpSchema& schema;
    const NodeMetadata& metadata;
    NodeId id;
};

// An owned copy of a node, independent of the store it came from.
struct NodeRecord {
    std::string op;
    std::vector<NodeId> parents;
    NodeMetadata metadata;
    NodeId id;
    uint32_t schema_version;

    [[nodiscard]] static NodeRecord from(const NodeRef& node);
};

}  // namespace vorlix
