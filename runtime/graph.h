// Staged graph content, its builder, and the validated read-only graph store.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/arena.h"
#include "runtime/constant.h"
#include "runtime/error.h"
#include "runtime/interned/attr_draft.h"
#include "runtime/metadata_table.h"
#include "runtime/node.h"
#include "runtime/node_view.h"

namespace vorlix {

namespace graph {

inline constexpr std::string_view kInputOp = "vorlix.input";
inline constexpr std::string_view kConstOp = "vorlix.const";
inline constexpr uint32_t kReservedSchemaVersion = 1;
inline constexpr std::array<std::string_view, 3> kArrayApiVersions{"2022.12", "2023.12", "2024.12"};

// Refuses anything but one of the accepted versions, exactly as written,
// with "Unsupported required Array API version " and the quoted text.
[[nodiscard]] Status<> check_array_api_version(std::string_view version);

}  // namespace graph

// The operations appended last, so that a name met again is not hashed
// again; slots never used hold an ID past any table.
class RecentOps {
public:
    // The operation `name` of schema `version`, when it is one of them.
    [[nodiscard]] std::optional<OpId> find(const RawArena& arena, std::string_view name, uint32_t version) const {
        for (const OpId op : ops_) {
            const OpSchema* schema = arena.schema(op);
            if (schema != nullptr && schema->version == version && schema->name == name) return op;
        }
        return std::nullopt;
    }
    void note(OpId op) {
        ops_[next_] = op;
        next_ = (next_ + 1) % ops_.size();
    }

private:
    std::array<OpId, 4> ops_{0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF};
    size_t next_ = 0;
};

// The content shared by builder and store. `metadata` is parallel to the
// arena's nodes; `outputs` may repeat an ID; `constants` holds the payload
// of every "vorlix.const" node, by ID. Rebuilders (the optimizer, the
// artifact reader) assemble one directly and hand it to `GraphStore::create`,
// which checks all of this.
struct GraphData {
    RawArena arena;
    MetadataTable metadata;
    std::vector<NodeId> inputs;
    std::vector<NodeId> outputs;
    std::string required_array_api_version;
    std::map<NodeId, PortableConstant> constants;

    GraphData() = default;
    GraphData(const GraphData&) = delete;
    GraphData& operator=(const GraphData&) = delete;
    GraphData(GraphData&&) noexcept = default;
    GraphData& operator=(GraphData&&) noexcept = default;
};

// Assembles a graph one node at a time. Every append either succeeds or
// leaves all tables as they were (the arena may keep an operation name it
// interned before a later refusal).
class GraphBuilder {
public:
    [[nodiscard]] static Expected<GraphBuilder> new_for_array_api(std::string_view version);

    GraphBuilder(const GraphBuilder&) = delete;
    GraphBuilder& operator=(const GraphBuilder&) = delete;
    GraphBuilder(GraphBuilder&&) noexcept = default;
    GraphBuilder& operator=(GraphBuilder&&) noexcept = default;

    // Each append takes the node's metadata either as a NodeMetadata or as
    // borrowed parts that `node_metadata::check` has accepted.
    [[nodiscard]] Expected<NodeId> append_input(const NodeMetadata& metadata);
    [[nodiscard]] Expected<NodeId> append_input(const NodeParts& parts);
    [[nodiscard]] Expected<NodeId> append_constant(const NodeMetadata& metadata, PortableConstant constant);
    [[nodiscard]] Expected<NodeId> append_constant(const NodeParts& parts, PortableConstant constant);
    [[nodiscard]] Expected<NodeId> append_operation(std::string_view op_name, uint32_t schema_version,
                                                    std::span<const NodeId> parents, const NodeMetadata& metadata);
    [[nodiscard]] Expected<NodeId> append_operation(std::string_view op_name, uint32_t schema_version,
                                                    std::span<const NodeId> parents, const NodeParts& parts);
    // `append_operation` for an operation the arena has interned as `op`
    // (see `RawArena::append_interned`).
    [[nodiscard]] Expected<NodeId> append_interned_operation(OpId op, std::span<const NodeId> parents,
                                                             const NodeParts& parts);
    // Marks an existing node as a graph output; repeats are kept.
    [[nodiscard]] Status<> append_output(NodeId id);

    [[nodiscard]] size_t node_count() const { return data_.arena.node_count(); }
    [[nodiscard]] const GraphData& data() const { return data_; }
    // Hands the content over for validation (and optimisation).
    [[nodiscard]] GraphData into_data() && { return std::move(data_); }

private:
    explicit GraphBuilder(std::string version) { data_.required_array_api_version = std::move(version); }

    // The common step of the appends: the arena (by name, or by interned
    // operation when `op` is given) and the metadata.
    [[nodiscard]] Expected<NodeId> append_raw(std::string_view op_name, uint32_t schema_version, std::optional<OpId> op,
                                              std::span<const NodeId> parents, uint8_t flags, const NodeParts& parts);
    // The parts of `metadata`, its attributes written into `draft_`.
    [[nodiscard]] NodeParts parts_of(const NodeMetadata& metadata);

    GraphData data_;
    RecentOps recent_ops_;
    AttrDraft draft_;
    std::vector<Shape> output_shapes_;
    std::vector<DTypeDescriptor> output_dtypes_;
};

// A validated graph; never changes. Created valid or not at all.
class GraphStore {
public:
    // Validates and takes ownership; a refusal drops the data.
    [[nodiscard]] static Expected<GraphStore> create(GraphData data);

    GraphStore(const GraphStore&) = delete;
    GraphStore& operator=(const GraphStore&) = delete;
    GraphStore(GraphStore&&) noexcept = default;
    GraphStore& operator=(GraphStore&&) noexcept = default;

    // The view stays valid while the store lives.
    [[nodiscard]] Expected<NodeRef> node(NodeId id) const;
    // IDs in ascending order: parents always precede their users.
    [[nodiscard]] std::vector<NodeId> topological_order() const;

    [[nodiscard]] size_t node_count() const { return data_.arena.node_count(); }
    [[nodiscard]] std::span<const NodeId> inputs() const { return data_.inputs; }
    [[nodiscard]] std::span<const NodeId> outputs() const { return data_.outputs; }
    [[nodiscard]] const std::string& required_array_api_version() const { return data_.required_array_api_version; }
    // In ascending ID order.
    [[nodiscard]] const std::map<NodeId, PortableConstant>& constants() const { return data_.constants; }
    [[nodiscard]] const PortableConstant* constant(NodeId id) const;
    [[nodiscard]] const GraphData& data() const { return data_; }
    // Gives the content up, for rebuilding into a new store.
    [[nodiscard]] GraphData into_data() && { return std::move(data_); }

private:
    explicit GraphStore(GraphData data) : data_(std::move(data)) {}

    [[nodiscard]] Status<> validate() const;

    GraphData data_;
};

}  // namespace vorlix
