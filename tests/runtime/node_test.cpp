// Node metadata: check order of the validating constructor, output views, equality, records.
#include "runtime/node.h"

#include "runtime/graph.h"

#include <gtest/gtest.h>

namespace vorlix {
namespace {

DTypeDescriptor dt(std::string_view name) { return std::move(DTypeDescriptor::from_name(name)).value(); }

struct MetadataArgs {
    Shape shape{2, 3};
    std::string dtype = "float64";
    size_t num_outputs = 1;
    std::optional<std::vector<Shape>> output_shapes;
    std::optional<std::vector<std::string>> output_dtypes;
};

Expected<NodeMetadata> build(const MetadataArgs& a) {
    std::optional<std::vector<DTypeDescriptor>> dtypes;
    if (a.output_dtypes) {
        dtypes.emplace();
        for (const std::string& d : *a.output_dtypes) dtypes->push_back(dt(d));
    }
    return NodeMetadata::create({}, a.shape, dt(a.dtype), std::nullopt, a.num_outputs, a.output_shapes,
                                std::move(dtypes), std::nullopt);
}

struct MetadataRefusal {
    const char* label;
    MetadataArgs args;
    std::string message;
};

class NodeMetadataRefuses : public ::testing::TestWithParam<MetadataRefusal> {};

TEST_P(NodeMetadataRefuses, WithMessageInCheckOrder) {
    auto m = build(GetParam().args);
    ASSERT_FALSE(m) << GetParam().label;
    EXPECT_EQ(m.error().message, GetParam().message) << GetParam().label;
    EXPECT_FALSE(m.error().node.has_value());
}

const std::vector<Shape> kTwoShapes{{2, 3}, {4}};

INSTANTIATE_TEST_SUITE_P(
    CheckOrder, NodeMetadataRefuses,
    ::testing::Values(
        MetadataRefusal{
            "zero outputs", {.num_outputs = 0, .output_shapes = kTwoShapes}, "node num_outputs must be at least 1"},
        MetadataRefusal{"single output with empty shapes",
                        {.output_shapes = std::vector<Shape>{}},
                        "single-output node must not declare output_shapes/output_dtypes"},
        MetadataRefusal{"single output with dtypes",
                        {.output_dtypes = std::vector<std::string>{"float64"}},
                        "single-output node must not declare output_shapes/output_dtypes"},
        MetadataRefusal{"multi output without dtypes",
                        {.num_outputs = 2, .output_shapes = std::vector<Shape>{{1}}},
                        "multi-output node is missing output_shapes/output_dtypes"},
        MetadataRefusal{"multi output without shapes",
                        {.num_outputs = 2, .output_dtypes = std::vector<std::string>{"float64"}},
                        "multi-output node is missing output_shapes/output_dtypes"},
        MetadataRefusal{"counts differ",
                        {.num_outputs = 2,
                         .output_shapes = kTwoShapes,
                         .output_dtypes = std::vector<std::string>{"float64", "int8", "int8"}},
                        "node expects 2 outputs but got 2 shapes and 3 dtypes"},
        MetadataRefusal{"counts differ before output 0 is compared",
                        {.num_outputs = 3,
                         .output_shapes = std::vector<Shape>{{9}},
                         .output_dtypes = std::vector<std::string>{"int8", "int8", "int8"}},
                        "node expects 3 outputs but got 1 shapes and 3 dtypes"},
        MetadataRefusal{
            "output 0 dtype written differently",
            {.num_outputs = 2, .output_shapes = kTwoShapes, .output_dtypes = std::vector<std::string>{"float", "int8"}},
            "output-0 metadata must match the node shape and dtype"},
        MetadataRefusal{"output 0 shape differs",
                        {.num_outputs = 2,
                         .output_shapes = std::vector<Shape>{{2}, {4}},
                         .output_dtypes = std::vector<std::string>{"float64", "int8"}},
                        "output-0 metadata must match the node shape and dtype"}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

TEST(NodeMetadataTest, MultiOutputViews) {
    auto m = build({.num_outputs = 2,
                    .output_shapes = kTwoShapes,
                    .output_dtypes = std::vector<std::string>{"float64", "numpy.int8"}});
    ASSERT_TRUE(m) << m.error().message;
    EXPECT_EQ(m->num_outputs(), 2u);
    EXPECT_EQ(m->shape(), (Shape{2, 3}));
    EXPECT_EQ(m->dtype(), dt("float64"));
    EXPECT_EQ(m->output_shapes(), kTwoShapes);
    const std::vector<DTypeDescriptor> dtypes{dt("float64"), dt("int8")};
    EXPECT_EQ(m->output_dtypes(), dtypes);
}

TEST(NodeMetadataTest, SingleOutputAndRankZero) {
    auto m = build({.shape = {}});
    ASSERT_TRUE(m);
    EXPECT_EQ(m->num_outputs(), 1u);
    EXPECT_TRUE(m->shape().empty());
    EXPECT_FALSE(m->output_shapes().has_value());
    EXPECT_FALSE(m->output_dtypes().has_value());
}

// Owned metadata compares field by field; interned, equal metadata gets
// equal IDs and any difference different ones.
TEST(NodeMetadataTest, EqualityAndInterningCoverLabelsAndAttributes) {
    const auto make = [](std::optional<std::string> name, int64_t axis) {
        AttrMap attrs;
        attrs.emplace("axis", AttrValue::from_integer(axis));
        return std::move(NodeMetadata::create(std::move(attrs), {3}, dt("int32"), std::move(name), 1, std::nullopt,
                                              std::nullopt, std::string("f.py:3")))
            .value();
    };
    const NodeMetadata base = make("x", 0);
    const std::vector<NodeMetadata> others{make("y", 0), make(std::nullopt, 0), make("x", 1)};
    EXPECT_EQ(base, make("x", 0));
    for (const NodeMetadata& other : others) EXPECT_FALSE(base == other);

    GraphBuilder builder = std::move(GraphBuilder::new_for_array_api("2024.12")).value();
    const auto interned = [&](const NodeMetadata& m) {
        const NodeId id = std::move(builder.append_operation("f", 1, {}, m)).value();
        return builder.data().metadata[id].ids();
    };
    const MetadataIds first = interned(base);
    EXPECT_EQ(interned(make("x", 0)), first);
    for (const NodeMetadata& other : others) EXPECT_FALSE(interned(other) == first);
}

TEST(NodeRecordTest, CopiesEverythingOutOfTheView) {
    GraphBuilder builder = std::move(GraphBuilder::new_for_array_api("2024.12")).value();
    const NodeMetadata metadata = std::move(build({})).value();
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(builder.append_operation("in", 1, {}, metadata));
    const std::vector<NodeId> parents{2, 0, 1};
    ASSERT_TRUE(builder.append_operation("sum3", 4, parents, metadata));
    const RawArena& arena = builder.data().arena;
    const ArenaNode* record = arena.node(3);
    const NodeRef ref{*arena.parents(*record), *arena.schema(record->op), builder.data().metadata[3], 3};

    const NodeRecord copy = NodeRecord::from(ref);
    EXPECT_EQ(copy.op, "sum3");
    EXPECT_EQ(copy.parents, parents);
    EXPECT_EQ(copy.metadata, metadata);
    EXPECT_EQ(copy.id, 3u);
    EXPECT_EQ(copy.schema_version, 4u);
}

}  // namespace
}  // namespace vorlix
