// Builds small graph stores for tests, one node per call, with failures reported to GoogleTest.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "runtime/graph.h"
#include "runtime/optimize.h"

namespace vorlix {

inline void PrintTo(const PassReport& r, std::ostream* os) {
    *os << '{' << r.name << ", " << r.nodes_before << ", " << r.nodes_after << ", " << r.rewrites << '}';
}

}  // namespace vorlix

namespace vorlix::testing {

template <class T, class E>
T take(Expected<T, E> r) {
    EXPECT_TRUE(r.has_value());
    return std::move(r).value();
}

// One output of `shape` and `dtype`, with the given attributes and labels.
struct Spec {
    Shape shape{2, 3};
    std::string dtype = "float32";
    AttrMap attrs;
    std::optional<std::string> name;
    std::optional<std::string> location;
};

inline AttrValue ints(std::initializer_list<int64_t> values, bool as_list = false) {
    AttrList items;
    for (const int64_t v : values) items.push_back(AttrValue::from_integer(v));
    return as_list ? AttrValue::from_list(std::move(items)) : AttrValue::from_tuple(std::move(items));
}

inline AttrMap attrs(std::initializer_list<std::pair<std::string, AttrValue>> entries) {
    return AttrMap(entries.begin(), entries.end());
}

class Sketch {
public:
    explicit Sketch(std::string_view version = "2024.12") : builder_(take(GraphBuilder::new_for_array_api(version))) {}

    // "vorlix.input" and "vorlix.const" (with a zero payload) go through
    // their own builder steps.
    NodeId node(std::string_view op, std::vector<NodeId> parents = {}, Spec spec = {}) {
        auto dtype = take(DTypeDescriptor::from_name(spec.dtype));
        const auto numeric = NumericDType::from_str(dtype.canonical());
        NodeMetadata metadata =
            take(NodeMetadata::create(std::move(spec.attrs), spec.shape, std::move(dtype), std::move(spec.name), 1,
                                      std::nullopt, std::nullopt, std::move(spec.location)));
        if (op == graph::kInputOp) return take(builder_.append_input(std::move(metadata)));
        if (op != graph::kConstOp) return take(builder_.append_operation(op, 1, parents, std::move(metadata)));
        uint64_t bytes = numeric->size();
        for (const uint64_t e : spec.shape) bytes *= e;
        const ConstantKind kind = spec.shape.empty() ? ConstantKind::Scalar : ConstantKind::Array;
        auto payload = take(PortableConstant::create(kind, *numeric, spec.shape, Bytes(bytes)));
        return take(builder_.append_constant(std::move(metadata), std::move(payload)));
    }
    void output(NodeId id) { EXPECT_TRUE(builder_.append_output(id).has_value()); }
    [[nodiscard]] GraphStore store() && { return take(GraphStore::create(std::move(builder_).into_data())); }

private:
    GraphBuilder builder_;
};

}  // namespace vorlix::testing
