// Appending nodes to a graph and validating graph content into a store.
#include "runtime/graph.h"

#include <algorithm>
#include <cassert>
#include <numeric>

#include "runtime/quote.h"

namespace vorlix {

namespace {

[[gnu::cold, gnu::noinline]] GraphError unsupported_version(std::string_view version) {
    std::string message = "Unsupported required Array API version ";
    quote::append_literal(message, version);
    return GraphError(std::move(message));
}

[[gnu::cold, gnu::noinline]] GraphError missing_endpoint(std::string_view role, NodeId id) {
    return GraphError("graph " + std::string(role) + " does not exist", id);
}

[[gnu::cold, gnu::noinline]] GraphError reserved_operation(std::string_view op_name) {
    return GraphError(std::string(op_name) + " must be constructed through its atomic builder operation");
}

// Makes room for one more element ahead of a change that must not be
// followed by a failing allocation, keeping geometric growth.
template <class T>
void reserve_one_more(std::vector<T>& v) {
    if (v.size() == v.capacity()) v.reserve(std::max<size_t>(16, 2 * v.capacity()));
}

bool constant_matches(const PortableConstant& constant, std::span<const uint64_t> shape, const DTypeDescriptor& dtype) {
    return std::ranges::equal(constant.shape(), shape) && constant.dtype().name() == dtype.canonical();
}

}  // namespace

namespace graph {

Status<> check_array_api_version(std::string_view version) {
    if (std::find(kArrayApiVersions.begin(), kArrayApiVersions.end(), version) == kArrayApiVersions.end()) {
        return unsupported_version(version);
    }
    return Status<>::ok();
}

}  // namespace graph

Expected<GraphBuilder> GraphBuilder::new_for_array_api(std::string_view version) {
    if (auto valid = graph::check_array_api_version(version); !valid) return std::move(valid).error();
    return GraphBuilder(std::string(version));
}

NodeParts GraphBuilder::parts_of(const NodeMetadata& metadata) {
    draft_from_map(metadata.attrs(), draft_);
    NodeParts parts{.attrs = &draft_,
                    .shape = metadata.shape(),
                    .dtype = &metadata.dtype(),
                    .name = metadata.name(),
                    .num_outputs = metadata.num_outputs(),
                    .source_location = metadata.source_location()};
    if (metadata.num_outputs() > 1) {
        output_shapes_.clear();
        output_dtypes_.clear();
        for (const ValueSpec& spec : metadata.outputs()) {
            output_shapes_.push_back(spec.shape);
            output_dtypes_.push_back(spec.dtype);
        }
        parts.output_shapes = &output_shapes_;
        parts.output_dtypes = &output_dtypes_;
    }
    return parts;
}

Expected<NodeId> GraphBuilder::append_raw(std::string_view op_name, uint32_t schema_version, std::optional<OpId> op,
                                          std::span<const NodeId> parents, uint8_t flags, const NodeParts& parts) {
    assert(node_metadata::check(parts).has_value());
    auto ids = data_.metadata.intern(parts);
    if (!ids) return std::move(ids).error();
    data_.metadata.reserve_one();
    auto id = op ? data_.arena.append_interned(*op, parents, flags)
                 : data_.arena.append(op_name, schema_version, parents, flags);
    if (!id) return std::move(id).error();
    data_.metadata.push(*ids);
    return *id;
}

Expected<NodeId> GraphBuilder::append_input(const NodeMetadata& metadata) { return append_input(parts_of(metadata)); }

Expected<NodeId> GraphBuilder::append_input(const NodeParts& parts) {
    if (parts.num_outputs != 1) return GraphError("vorlix.input nodes must have exactly one output");
    reserve_one_more(data_.inputs);
    auto id = append_raw(graph::kInputOp, graph::kReservedSchemaVersion, std::nullopt, {}, node_flags::kInput, parts);
    if (id) data_.inputs.push_back(*id);
    return id;
}

Expected<NodeId> GraphBuilder::append_constant(const NodeMetadata& metadata, PortableConstant constant) {
    return append_constant(parts_of(metadata), std::move(constant));
}

Expected<NodeId> GraphBuilder::append_constant(const NodeParts& parts, PortableConstant constant) {
    if (parts.num_outputs != 1) return GraphError("vorlix.const nodes must have exactly one output");
    if (!constant_matches(constant, parts.shape, *parts.dtype)) {
        return GraphError("portable constant shape/dtype does not match node metadata");
    }
    // The payload's map node is allocated before the arena changes, under
    // the ID the next append will receive.
    std::map<NodeId, PortableConstant> staged;
    staged.emplace(static_cast<NodeId>(node_count()), std::move(constant));
    auto id = append_raw(graph::kConstOp, graph::kReservedSchemaVersion, std::nullopt, {}, 0, parts);
    if (id) data_.constants.insert(staged.extract(staged.begin()));
    return id;
}

Expected<NodeId> GraphBuilder::append_operation(std::string_view op_name, uint32_t schema_version,
                                                std::span<const NodeId> parents, const NodeMetadata& metadata) {
    return append_operation(op_name, schema_version, parents, parts_of(metadata));
}

Expected<NodeId> GraphBuilder::append_operation(std::string_view op_name, uint32_t schema_version,
                                                std::span<const NodeId> parents, const NodeParts& parts) {
    if (const std::optional<OpId> op = recent_ops_.find(data_.arena, op_name, schema_version)) {
        return append_raw(op_name, schema_version, op, parents, 0, parts);
    }
    if (op_name == graph::kInputOp || op_name == graph::kConstOp) return reserved_operation(op_name);
    auto id = append_raw(op_name, schema_version, std::nullopt, parents, 0, parts);
    if (id) recent_ops_.note(data_.arena.node(*id)->op);
    return id;
}

Expected<NodeId> GraphBuilder::append_interned_operation(OpId op, std::span<const NodeId> parents,
                                                         const NodeParts& parts) {
    const OpSchema* schema = data_.arena.schema(op);
    assert(schema != nullptr);
    if (schema->name == graph::kInputOp || schema->name == graph::kConstOp) return reserved_operation(schema->name);
    return append_raw(schema->name, schema->version, op, parents, 0, parts);
}

Status<> GraphBuilder::append_output(NodeId id) {
    if (id >= node_count()) return GraphError("node does not exist", id);
    data_.outputs.push_back(id);
    return Status<>::ok();
}

Expected<GraphStore> GraphStore::create(GraphData data) {
    GraphStore store(std::move(data));
    if (auto valid = store.validate(); !valid) return std::move(valid).error();
    return store;
}

Status<> GraphStore::validate() const {
    const GraphData& d = data_;
    const size_t n = d.arena.node_count();
    if (d.metadata.size() != n) return GraphError("graph metadata does not match the structural arena");
    for (const NodeId id : d.outputs) {
        if (id >= n) return missing_endpoint("output", id);
    }
    for (const auto& [id, constant] : d.constants) {
        if (id >= n) return missing_endpoint("constant", id);
    }

    std::vector<bool> declared_input(n, false);
    for (const NodeId id : d.inputs) {
        if (id >= n) return missing_endpoint("input", id);
        if (declared_input[id]) return GraphError("graph inputs contain duplicate node IDs");
        declared_input[id] = true;
        auto node = this->node(id);
        if (!node) return std::move(node).error();
        if (node->schema.name != graph::kInputOp || node->schema.version != graph::kReservedSchemaVersion ||
            node->parents.size() != 0 || node->metadata.num_outputs() != 1) {
            return GraphError("declared input is not a single-output schema-1 operand-free vorlix.input node", id);
        }
    }

    // Constant keys are all below n by now, so walking them alongside the
    // IDs visits each exactly when its node comes up.
    auto next_constant = d.constants.begin();
    for (uint64_t wide = 0; wide < n; ++wide) {
        const auto id = static_cast<NodeId>(wide);
        auto node = this->node(id);
        if (!node) return std::move(node).error();
        const std::string& op = node->schema.name;
        if (declared_input[id] != (op == graph::kInputOp)) {
            return GraphError("input role ownership is inconsistent", id);
        }
        const bool has_constant = next_constant != d.constants.end() && next_constant->first == id;
        const bool is_constant_op = op == graph::kConstOp;
        if (has_constant != is_constant_op) return GraphError("constant payload ownership is inconsistent", id);
        if (!is_constant_op) continue;
        if (node->parents.size() != 0) return GraphError("vorlix.const nodes must not have operands", id);
        if (node->schema.version != graph::kReservedSchemaVersion) {
            return GraphError("vorlix.const nodes must use schema version 1", id);
        }
        if (node->metadata.num_outputs() != 1) return GraphError("vorlix.const nodes must have exactly one output", id);
        if (!constant_matches(next_constant->second, node->metadata.shape(), node->metadata.dtype())) {
            return GraphError("portable constant shape/dtype does not match node metadata", id);
        }
        ++next_constant;
    }
    return Status<>::ok();
}

Expected<NodeRef> GraphStore::node(NodeId id) const {
    const ArenaNode* record = data_.arena.node(id);
    if (record == nullptr || id >= data_.metadata.size()) return GraphError("node does not exist", id);
    const OpSchema* schema = data_.arena.schema(record->op);
    if (schema == nullptr) return GraphError("operation schema is invalid", id);
    const std::optional<Parents> parents = data_.arena.parents(*record);
    if (!parents) return GraphError("parent range is invalid", id);
    return NodeRef{*parents, *schema, data_.metadata[id], id};
}

std::vector<NodeId> GraphStore::topological_order() const {
    std::vector<NodeId> order(node_count());
    std::iota(order.begin(), order.end(), NodeId{0});
    return order;
}

const PortableConstant* GraphStore::constant(NodeId id) const {
    const auto it = data_.constants.find(id);
    return it == data_.constants.end() ? nullptr : &it->second;
}

}  // namespace vorlix
