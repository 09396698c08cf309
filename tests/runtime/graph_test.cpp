// Graph builder appends and graph store validation: messages, nodes named, check order.
#include "runtime/graph.h"

#include <gtest/gtest.h>

#include <functional>

namespace vorlix {
namespace {

template <class T, class E>
T take(Expected<T, E> r) {
    EXPECT_TRUE(r.has_value());
    return std::move(r).value();
}

NodeMetadata meta(Shape shape = {2}, std::string_view dtype = "float32", size_t outputs = 1) {
    const auto d = take(DTypeDescriptor::from_name(dtype));
    std::optional<std::vector<Shape>> shapes;
    std::optional<std::vector<DTypeDescriptor>> dtypes;
    if (outputs > 1) {
        shapes.emplace(outputs, shape);
        dtypes.emplace(outputs, d);
    }
    return take(
        NodeMetadata::create({}, shape, d, std::nullopt, outputs, std::move(shapes), std::move(dtypes), std::nullopt));
}

PortableConstant f32_constant(Shape shape = {2}, NumericDType dtype = NumericDType::Float32) {
    uint64_t elements = 1;
    for (const uint64_t e : shape) elements *= e;
    return take(PortableConstant::create(ConstantKind::Array, dtype, shape, Bytes(elements * dtype.size())));
}

std::string rendered(const GraphError& e) { return e.rendered(); }

TEST(GraphBuilderTest, AcceptsExactlyTheThreeVersions) {
    for (const char* version : {"2022.12", "2023.12", "2024.12"}) {
        auto b = GraphBuilder::new_for_array_api(version);
        ASSERT_TRUE(b) << version;
        EXPECT_EQ(b->data().required_array_api_version, version);
        EXPECT_EQ(b->node_count(), 0u);
    }
    const std::pair<std::string, std::string> refused[] = {
        {"2025.12", R"(Unsupported required Array API version "2025.12")"},
        {"2024.12 ", R"(Unsupported required Array API version "2024.12 ")"},
        {"", R"(Unsupported required Array API version "")"},
        {"2024\"12", R"(Unsupported required Array API version "2024\"12")"},
    };
    for (const auto& [version, message] : refused) {
        auto b = GraphBuilder::new_for_array_api(version);
        ASSERT_FALSE(b) << version;
        EXPECT_EQ(rendered(b.error()), message);
    }
}

class GraphBuilderAppend : public ::testing::Test {
protected:
    GraphBuilder builder = take(GraphBuilder::new_for_array_api("2024.12"));

    void expect_untouched(size_t nodes, size_t inputs, size_t constants) {
        const GraphData& d = builder.data();
        EXPECT_EQ(d.arena.node_count(), nodes);
        EXPECT_EQ(d.metadata.size(), nodes);
        EXPECT_EQ(d.inputs.size(), inputs);
        EXPECT_EQ(d.constants.size(), constants);
    }
};

TEST_F(GraphBuilderAppend, NodesOfEveryKind) {
    EXPECT_EQ(take(builder.append_input(meta())), 0u);
    EXPECT_EQ(take(builder.append_constant(meta({2}, "float"), f32_constant({2}, NumericDType::Float64))), 1u);
    const std::vector<NodeId> three{0, 1, 0};
    EXPECT_EQ(take(builder.append_operation("sum3", 1, three, meta())), 2u);
    ASSERT_TRUE(builder.append_output(2));
    ASSERT_TRUE(builder.append_output(2));

    const GraphData& d = builder.data();
    EXPECT_EQ(d.inputs, std::vector<NodeId>{0});
    EXPECT_EQ(d.outputs, (std::vector<NodeId>{2, 2}));
    ASSERT_EQ(d.constants.count(1), 1u);
    EXPECT_TRUE(d.arena.node(0)->is_input());
    EXPECT_FALSE(d.arena.node(1)->is_input());
    EXPECT_EQ(d.arena.parents(*d.arena.node(2))->to_vec(), three);
}

TEST_F(GraphBuilderAppend, RefusalsLeaveTablesUnchanged) {
    ASSERT_TRUE(builder.append_input(meta()));

    auto reserved = builder.append_operation("vorlix.input", 1, {}, meta());
    ASSERT_FALSE(reserved);
    EXPECT_EQ(rendered(reserved.error()), "vorlix.input must be constructed through its atomic builder operation");
    auto reserved_const = builder.append_operation("vorlix.const", 1, {}, meta());
    ASSERT_FALSE(reserved_const);
    EXPECT_EQ(rendered(reserved_const.error()),
              "vorlix.const must be constructed through its atomic builder operation");
    EXPECT_EQ(builder.data().arena.ops().size(), 1u);

    auto two_output_input = builder.append_input(meta({2}, "float32", 2));
    ASSERT_FALSE(two_output_input);
    EXPECT_EQ(rendered(two_output_input.error()), "vorlix.input nodes must have exactly one output");

    auto two_output_const = builder.append_constant(meta({2}, "float32", 2), f32_constant());
    ASSERT_FALSE(two_output_const);
    EXPECT_EQ(rendered(two_output_const.error()), "vorlix.const nodes must have exactly one output");

    for (auto [shape, dtype] : {std::pair{Shape{3}, NumericDType::Float32}, std::pair{Shape{2}, NumericDType::Float64},
                                std::pair{Shape{2, 1}, NumericDType::Float32}}) {
        auto mismatch = builder.append_constant(meta({2}, "float32"), f32_constant(shape, dtype));
        ASSERT_FALSE(mismatch);
        EXPECT_EQ(rendered(mismatch.error()), "portable constant shape/dtype does not match node metadata");
    }

    const std::vector<NodeId> future{1};
    auto arena_refusal = builder.append_operation("neg", 1, future, meta());
    ASSERT_FALSE(arena_refusal);
    EXPECT_EQ(rendered(arena_refusal.error()), "node %1 must reference only earlier nodes; got input %1");

    auto missing_output = builder.append_output(1);
    ASSERT_FALSE(missing_output);
    EXPECT_EQ(rendered(missing_output.error()), "node does not exist at node %1");

    expect_untouched(1, 1, 0);
    EXPECT_TRUE(builder.data().outputs.empty());
}

TEST(GraphStoreTest, ValidBuilderContentAndLookups) {
    GraphBuilder builder = take(GraphBuilder::new_for_array_api("2023.12"));
    ASSERT_TRUE(builder.append_input(meta()));
    ASSERT_TRUE(builder.append_constant(meta(), f32_constant()));
    const std::vector<NodeId> parents{0, 1, 1};
    ASSERT_TRUE(builder.append_operation("sum3", 2, parents, meta({2}, "float32", 2)));
    ASSERT_TRUE(builder.append_output(2));
    ASSERT_TRUE(builder.append_output(2));
    auto store = GraphStore::create(std::move(builder).into_data());
    ASSERT_TRUE(store) << rendered(store.error());

    EXPECT_EQ(store->node_count(), 3u);
    EXPECT_EQ(store->topological_order(), (std::vector<NodeId>{0, 1, 2}));
    EXPECT_EQ(std::vector<NodeId>(store->outputs().begin(), store->outputs().end()), (std::vector<NodeId>{2, 2}));
    EXPECT_EQ(store->required_array_api_version(), "2023.12");
    ASSERT_NE(store->constant(1), nullptr);
    EXPECT_EQ(store->constant(0), nullptr);

    auto node = store->node(2);
    ASSERT_TRUE(node);
    EXPECT_EQ(node->id, 2u);
    EXPECT_EQ(node->schema.name, "sum3");
    EXPECT_EQ(node->schema.version, 2u);
    EXPECT_EQ(node->parents.to_vec(), parents);
    EXPECT_EQ(node->metadata.num_outputs(), 2u);

    auto missing = store->node(3);
    ASSERT_FALSE(missing);
    EXPECT_EQ(rendered(missing.error()), "node does not exist at node %3");
}

TEST(GraphStoreTest, EmptyStore) {
    auto store = GraphStore::create(std::move(take(GraphBuilder::new_for_array_api("2024.12"))).into_data());
    ASSERT_TRUE(store);
    EXPECT_TRUE(store->topological_order().empty());
}

// A valid graph: input 0, constant 1, op "add" 2 (0, 1), input 3; outputs
// [2]. Each case breaks it in one way.
GraphData valid_data() {
    GraphBuilder builder = take(GraphBuilder::new_for_array_api("2024.12"));
    EXPECT_TRUE(builder.append_input(meta()));
    EXPECT_TRUE(builder.append_constant(meta(), f32_constant()));
    EXPECT_TRUE(builder.append_operation("add", 1, std::vector<NodeId>{0, 1}, meta()));
    EXPECT_TRUE(builder.append_input(meta()));
    EXPECT_TRUE(builder.append_output(2));
    return std::move(builder).into_data();
}

// Interns metadata into the table, as a rebuilder does.
void push_metadata(GraphData& d, const NodeMetadata& metadata) {
    AttrDraft draft;
    draft_from_map(metadata.attrs(), draft);
    NodeParts parts{&draft, metadata.shape(), &metadata.dtype(), metadata.name(), metadata.num_outputs()};
    const std::optional<std::vector<Shape>> shapes = metadata.output_shapes();
    const std::optional<std::vector<DTypeDescriptor>> dtypes = metadata.output_dtypes();
    if (shapes) parts.output_shapes = &*shapes;
    if (dtypes) parts.output_dtypes = &*dtypes;
    d.metadata.push(take(d.metadata.intern(parts)));
}

void append_raw(GraphData& d, std::string_view op, uint32_t version, std::vector<NodeId> parents,
                const NodeMetadata& metadata) {
    ASSERT_TRUE(d.arena.append(op, version, parents, 0));
    push_metadata(d, metadata);
}

struct StoreRefusal {
    const char* label;
    std::function<void(GraphData&)> corrupt;
    std::string rendered;
};

class GraphStoreRefuses : public ::testing::TestWithParam<StoreRefusal> {};

TEST_P(GraphStoreRefuses, WithRenderedMessage) {
    GraphData data = valid_data();
    GetParam().corrupt(data);
    auto store = GraphStore::create(std::move(data));
    ASSERT_FALSE(store) << GetParam().label;
    EXPECT_EQ(rendered(store.error()), GetParam().rendered) << GetParam().label;
}

INSTANTIATE_TEST_SUITE_P(
    CheckOrder, GraphStoreRefuses,
    ::testing::Values(
        StoreRefusal{"metadata count", [](GraphData& d) { ASSERT_TRUE(d.arena.append("extra", 1, {}, 0)); },
                     "graph metadata does not match the structural arena"},
        StoreRefusal{"metadata count before outputs",
                     [](GraphData& d) {
                         push_metadata(d, meta());
                         d.outputs.push_back(9);
                     },
                     "graph metadata does not match the structural arena"},
        StoreRefusal{"output at node count", [](GraphData& d) { d.outputs.push_back(4); },
                     "graph output does not exist at node %4"},
        StoreRefusal{"output before constant key",
                     [](GraphData& d) {
                         d.constants.emplace(7, f32_constant());
                         d.outputs.push_back(8);
                     },
                     "graph output does not exist at node %8"},
        StoreRefusal{"constant key", [](GraphData& d) { d.constants.emplace(7, f32_constant()); },
                     "graph constant does not exist at node %7"},
        StoreRefusal{"constant key before input",
                     [](GraphData& d) {
                         d.inputs.push_back(9);
                         d.constants.emplace(7, f32_constant());
                     },
                     "graph constant does not exist at node %7"},
        StoreRefusal{"input", [](GraphData& d) { d.inputs.push_back(5); }, "graph input does not exist at node %5"},
        StoreRefusal{"duplicate input", [](GraphData& d) { d.inputs.push_back(0); },
                     "graph inputs contain duplicate node IDs"},
        StoreRefusal{"declared input that is an operation", [](GraphData& d) { d.inputs.push_back(2); },
                     "declared input is not a single-output schema-1 operand-free vorlix.input node at node %2"},
        StoreRefusal{"declared input with operands",
                     [](GraphData& d) {
                         append_raw(d, "vorlix.input", 1, {0}, meta());
                         d.inputs.push_back(4);
                     },
                     "declared input is not a single-output schema-1 operand-free vorlix.input node at node %4"},
        StoreRefusal{"declared input with two outputs",
                     [](GraphData& d) {
                         append_raw(d, "vorlix.input", 1, {}, meta({2}, "float32", 2));
                         d.inputs.push_back(4);
                     },
                     "declared input is not a single-output schema-1 operand-free vorlix.input node at node %4"},
        StoreRefusal{"input node not declared", [](GraphData& d) { d.inputs.pop_back(); },
                     "input role ownership is inconsistent at node %3"},
        StoreRefusal{"constant node without payload", [](GraphData& d) { d.constants.clear(); },
                     "constant payload ownership is inconsistent at node %1"},
        StoreRefusal{"payload under an operation", [](GraphData& d) { d.constants.emplace(2, f32_constant()); },
                     "constant payload ownership is inconsistent at node %2"},
        StoreRefusal{"constant with operands",
                     [](GraphData& d) {
                         append_raw(d, "vorlix.const", 1, {0}, meta());
                         d.constants.emplace(4, f32_constant());
                     },
                     "vorlix.const nodes must not have operands at node %4"},
        StoreRefusal{"constant with two outputs",
                     [](GraphData& d) {
                         append_raw(d, "vorlix.const", 1, {}, meta({2}, "float32", 2));
                         d.constants.emplace(4, f32_constant());
                     },
                     "vorlix.const nodes must have exactly one output at node %4"},
        StoreRefusal{"constant payload mismatch",
                     [](GraphData& d) {
                         append_raw(d, "vorlix.const", 1, {}, meta({3}));
                         d.constants.emplace(4, f32_constant());
                     },
                     "portable constant shape/dtype does not match node metadata at node %4"},
        StoreRefusal{"earliest node wins",
                     [](GraphData& d) {
                         d.constants.clear();
                         d.inputs.pop_back();
                     },
                     "constant payload ownership is inconsistent at node %1"}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

TEST(GraphStoreTest, ConstantSchemaVersionIsCheckedInItsOwnArena) {
    // Its own arena: "vorlix.const" is interned at version 2 from the start.
    GraphData d;
    d.required_array_api_version = "2024.12";
    append_raw(d, "vorlix.const", 2, {}, meta());
    d.constants.emplace(0, f32_constant());
    auto store = GraphStore::create(std::move(d));
    ASSERT_FALSE(store);
    EXPECT_EQ(rendered(store.error()), "vorlix.const nodes must use schema version 1 at node %0");
}

}  // namespace
}  // namespace vorlix
