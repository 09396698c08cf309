// What both artifact readers do with what they parse, in the fixed order of
// the checks: the header, each node rebuilt through the arena and the
// metadata checks, each constant checked and digested, and the store.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/constant.h"
#include "runtime/error.h"
#include "runtime/graph.h"

namespace vorlix::artifact::reader {

// The header members as read.
struct HeaderText {
    std::string_view format;
    std::string_view version;
    std::string_view semantic_profile;
    std::string_view producer;
    uint32_t core_opset = 0;
    uint32_t semantic_profile_version = 0;
    uint32_t compiler_version = 0;
    uint32_t optimizer_version = 0;
};

// The first header member that is not what the format requires, worded by
// its template; empty when the header is valid.
[[nodiscard]] std::string check_header(const HeaderText& header);

// One node as read; views valid for the call. Output lists are null when
// absent (or null).
struct NodeText {
    uint32_t id = 0;
    std::string_view op;
    uint32_t schema_version = 0;
    std::span<const NodeId> inputs;
    const AttrDraft* attrs = nullptr;
    std::span<const uint64_t> shape;
    std::string_view dtype;
    uint64_t num_outputs = 0;
    const std::vector<Shape>* output_shapes = nullptr;
    const std::vector<std::string_view>* output_dtypes = nullptr;
    std::optional<std::string_view> name;
    std::optional<std::string_view> source_location;
};

// One constant as read. Its data is either decoded already (`data`, or the
// decoding's failure in `data_error`) or given as `data_hex`, decoded here
// and, when valid, hashed as it stands.
struct ConstantText {
    std::string_view format;
    uint32_t version = 0;
    std::string_view kind;
    std::string_view dtype;
    Shape shape;
    std::string_view layout;
    std::string_view byte_order;
    Bytes data;
    std::optional<std::string> data_error;
    std::optional<std::string_view> data_hex;
    std::string_view digest;
};

// The constant checks in their order (format, version, layout, byte order,
// kind, dtype, data, shape and bytes, digest); the constant, or the first
// failure's message. Takes the shape and data over.
[[nodiscard]] Expected<PortableConstant, std::string> check_constant(ConstantText constant);

// The graph being rebuilt.
class Assembly {
public:
    // The node step for the node at `position` (dense ID, arena, dtypes,
    // metadata); the failure's message, if any. After a failure the graph
    // is only fit to be dropped.
    [[nodiscard]] std::optional<std::string> node(uint64_t position, const NodeText& node);
    // The last steps: the Array API version, then the store's validation.
    [[nodiscard]] Expected<GraphStore> finish(std::vector<NodeId> inputs, std::vector<NodeId> outputs,
                                              std::string_view version,
                                              std::map<NodeId, PortableConstant> constants) &&;

private:
    GraphData data_;
    RecentOps recent_ops_;
    // Nodes mostly repeat the dtype text of the node before.
    std::string last_dtype_text_;
    std::optional<DTypeDescriptor> last_dtype_;
    std::vector<DTypeDescriptor> output_dtypes_;
};

}  // namespace vorlix::artifact::reader
