// The checks and the rebuilding both artifact readers share.
#include "runtime/artifact_reader/assembly.h"

#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "runtime/artifact_reader/messages.h"
#include "runtime/artifact_wire.h"
#include "runtime/hex.h"

namespace vorlix::artifact::reader {

namespace {

// The payload a constant's hex text spells, into `out`; why there is none
// otherwise. Out of line: inlined into check_constant, GCC 16 takes the
// vector moved out of the decoder's result for a stack object and warns
// (-Wfree-nonheap-object) about freeing it.
[[gnu::noinline]] std::optional<std::string> decode_data(std::string_view text, Bytes& out) {
    Expected<Bytes, std::string> bytes = hex::decode(text);
    if (!bytes) return "staged constant data " + std::move(bytes).error();
    out = std::move(*bytes);
    return std::nullopt;
}

}  // namespace

std::string check_header(const HeaderText& g) {
    using namespace wire;
    if (g.format != kFormat) return unsupported_text("graph format", g.format, kFormat);
    if (g.version != kVersion) return unsupported_text("graph version", g.version, kVersion);
    if (g.semantic_profile != kSemanticProfile) {
        return unsupported_text("semantic profile", g.semantic_profile, kSemanticProfile);
    }
    if (g.producer != kProducer) return unsupported_text("graph producer", g.producer, kProducer);
    if (g.core_opset != kCoreOpset) return unsupported_number("core opset", g.core_opset, kCoreOpset);
    if (g.semantic_profile_version != kSemanticProfileVersion) {
        return unsupported_number("semantic profile version", g.semantic_profile_version, kSemanticProfileVersion);
    }
    if (g.compiler_version != kCompilerVersion) {
        return unsupported_number("compiler version", g.compiler_version, kCompilerVersion);
    }
    if (g.optimizer_version != kOptimizerVersion) {
        return unsupported_number("optimizer version", g.optimizer_version, kOptimizerVersion);
    }
    return {};
}

Expected<PortableConstant, std::string> check_constant(ConstantText c) {
    if (c.format != constant::kFormat) return with_quoted("unknown staged constant format ", c.format);
    if (c.version != constant::kFormatVersion)
        return "unsupported staged constant version " + std::to_string(c.version);
    if (c.layout != constant::kLayout) return with_quoted("unsupported staged constant layout ", c.layout);
    if (c.byte_order != constant::kByteOrder)
        return with_quoted("unsupported staged constant byte order ", c.byte_order);
    auto kind = constant::kind_from_str(c.kind);
    if (!kind) return std::move(kind).error();
    auto dtype = NumericDType::from_str(c.dtype);
    if (!dtype) return std::move(dtype).error();
    if (c.data_hex) {
        if (std::optional<std::string> failure = decode_data(*c.data_hex, c.data)) return std::move(*failure);
    }
    if (c.data_error) return std::move(*c.data_error);
    // Validation first, then the digest of exactly these fields.
    auto built = c.data_hex
                     ? PortableConstant::create(*kind, *dtype, std::move(c.shape), std::move(c.data), *c.data_hex)
                     : PortableConstant::create(*kind, *dtype, std::move(c.shape), std::move(c.data));
    if (!built) return std::move(built).error();
    if (built->digest() != c.digest) return std::string("staged constant digest does not match its contents");
    return built;
}

std::optional<std::string> Assembly::node(uint64_t position, const NodeText& n) {
    if (position > std::numeric_limits<NodeId>::max()) return std::string("graph node ID exceeded its range");
    if (n.id != position) return dense_ids(position, n.id);
    const uint8_t flags = n.op == graph::kInputOp ? node_flags::kInput : 0;
    const std::optional<OpId> op = recent_ops_.find(data_.arena, n.op, n.schema_version);
    auto appended = op ? data_.arena.append_interned(*op, n.inputs, flags)
                       : data_.arena.append(n.op, n.schema_version, n.inputs, flags);
    if (!appended) return std::move(appended).error().into_message();
    if (!op) recent_ops_.note(data_.arena.node(*appended)->op);

    if (!last_dtype_ || n.dtype != last_dtype_text_) {
        auto dtype = DTypeDescriptor::from_name(n.dtype);
        if (!dtype) return std::move(dtype).error().into_message();
        last_dtype_.emplace(std::move(*dtype));
        last_dtype_text_.assign(n.dtype);
    }
    NodeParts parts{.attrs = n.attrs,
                    .shape = n.shape,
                    .dtype = &*last_dtype_,
                    .name = n.name,
                    .num_outputs = n.num_outputs,
                    .output_shapes = n.output_shapes,
                    .source_location = n.source_location};
    if (n.output_dtypes != nullptr) {
        output_dtypes_.clear();
        for (const std::string_view name : *n.output_dtypes) {
            auto d = DTypeDescriptor::from_name(name);
            if (!d) return std::move(d).error().into_message();
            output_dtypes_.push_back(std::move(*d));
        }
        parts.output_dtypes = &output_dtypes_;
    }
    if (auto valid = node_metadata::check(parts); !valid) return std::move(valid).error().into_message();
    auto ids = data_.metadata.intern(parts);
    if (!ids) return std::move(ids).error().into_message();
    data_.metadata.reserve_one();
    data_.metadata.push(*ids);
    return std::nullopt;
}

Expected<GraphStore> Assembly::finish(std::vector<NodeId> inputs, std::vector<NodeId> outputs, std::string_view version,
                                      std::map<NodeId, PortableConstant> constants) && {
    if (auto valid = graph::check_array_api_version(version); !valid) return std::move(valid).error();
    data_.inputs = std::move(inputs);
    data_.outputs = std::move(outputs);
    data_.required_array_api_version = std::string(version);
    data_.constants = std::move(constants);
    auto store = GraphStore::create(std::move(data_));
    if (!store) return GraphError(store.error().rendered());
    return store;
}

}  // namespace vorlix::artifact::reader
