// Artifact writing: the exact text, string escaping, constant key order, refusals, and write-read-write round trips.
#include "runtime/artifact.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "tests/runtime/artifact_samples.h"

namespace vorlix {
namespace {

using samples::meta;
using samples::take;

TEST(ArtifactWriterTest, SmallStoreTextIsExact) {
    const GraphStore store = samples::small_store();
    const std::string digest(store.constant(1)->digest());
    EXPECT_EQ(take(artifact::to_json(store)),
              R"({"format":"vorlix.graph","version":"2.0","core_opset":1,"semantic_profile":"vorlix-array-1",)"
              R"("semantic_profile_version":1,"required_array_api_version":"2024.12","producer":"vorlix",)"
              R"("compiler_version":1,"optimizer_version":2,"inputs":[0],"outputs":[2],"nodes":[)"
              R"({"id":0,"op":"vorlix.input","schema_version":1,"inputs":[],"attrs":{},"shape":[2],"dtype":"float32",)"
              R"("num_outputs":1,"output_shapes":null,"output_dtypes":null,"name":null,"source_location":null},)"
              R"({"id":1,"op":"vorlix.const","schema_version":1,"inputs":[],"attrs":{},"shape":[2],"dtype":"float32",)"
              R"("num_outputs":1,"output_shapes":null,"output_dtypes":null,"name":null,"source_location":null},)"
              R"({"id":2,"op":"add","schema_version":1,"inputs":[0,1],"attrs":{"axis":{"kind":"integer","value":1}},)"
              R"("shape":[2],"dtype":"float32","num_outputs":1,"output_shapes":null,"output_dtypes":null,)"
              R"("name":"sum","source_location":null}],"constants":{"1":{"format":"vorlix.numeric-constant",)"
              R"("version":2,"kind":"array","dtype":"float32","shape":[2],"layout":"C","byte_order":"little",)"
              R"("data":"0000803f00000040","digest":")" +
                  digest + R"("}}})");
}

struct Escape {
    std::string raw;
    std::string written;
};

class ArtifactEscapeTest : public ::testing::TestWithParam<Escape> {};

TEST_P(ArtifactEscapeTest, NamesAttributeKeysAndStringsEscapeAlike) {
    const Escape& e = GetParam();
    auto b = take(GraphBuilder::new_for_array_api("2022.12"));
    AttrMap attrs;
    attrs.emplace("k" + e.raw, AttrValue::from_string(e.raw));
    EXPECT_TRUE(b.append_input(meta({}, "float64", std::move(attrs), e.raw, e.raw)));
    const std::string text = take(artifact::to_json(take(GraphStore::create(std::move(b).into_data()))));
    const std::string q = '"' + e.written + '"';
    EXPECT_NE(text.find(R"({"k)" + e.written + R"(":{"kind":"string","value":)" + q + "}}"), std::string::npos) << text;
    EXPECT_NE(text.find(R"("name":)" + q + R"(,"source_location":)" + q + "}"), std::string::npos) << text;
    EXPECT_EQ(take(artifact::to_json(take(artifact::from_json(text)))), text);
}

INSTANTIATE_TEST_SUITE_P(Characters, ArtifactEscapeTest,
                         ::testing::Values(Escape{"\"", R"(\")"}, Escape{"\\", R"(\\)"}, Escape{"\b", R"(\b)"},
                                           Escape{"\t", R"(\t)"}, Escape{"\n", R"(\n)"}, Escape{"\f", R"(\f)"},
                                           Escape{"\r", R"(\r)"}, Escape{std::string(1, '\0'), R"(\u0000)"},
                                           Escape{"\x01", R"(\u0001)"}, Escape{"\x0b", R"(\u000b)"},
                                           Escape{"\x1b", R"(\u001b)"}, Escape{"\x1f", R"(\u001f)"}, Escape{"/", "/"},
                                           Escape{"\x7f", "\x7f"}, Escape{"é€😀", "é€😀"},
                                           Escape{"a\"b\\c\nd", R"(a\"b\\c\nd)"}));

TEST(ArtifactWriterTest, ConstantsFollowTheByteOrderOfTheirKeys) {
    auto b = take(GraphBuilder::new_for_array_api("2023.12"));
    for (int i = 0; i < 11; ++i) {
        EXPECT_TRUE(b.append_constant(meta({1}), samples::f32_constant({static_cast<uint8_t>(i), 0, 0, 0})));
    }
    const std::string text = take(artifact::to_json(take(GraphStore::create(std::move(b).into_data()))));
    std::vector<size_t> at;
    for (const char* key : {R"("0":{)", R"("1":{)", R"("10":{)", R"("2":{)", R"("9":{)"}) at.push_back(text.find(key));
    EXPECT_NE(at.front(), std::string::npos);
    EXPECT_TRUE(std::is_sorted(at.begin(), at.end())) << text;
}

TEST(ArtifactWriterTest, MultiOutputNodesListEveryOutput) {
    auto b = take(GraphBuilder::new_for_array_api("2024.12"));
    const NodeId x = take(b.append_input(meta({3})));
    const auto f32 = take(DTypeDescriptor::from_name("float32"));
    const auto i64 = take(DTypeDescriptor::from_name("int"));
    auto two = take(NodeMetadata::create({}, {3}, f32, std::nullopt, 2, std::vector<Shape>{{3}, {}},
                                         std::vector<DTypeDescriptor>{f32, i64}, std::nullopt));
    const std::vector<NodeId> parents{x, x, x};
    EXPECT_TRUE(b.append_operation("split", 7, parents, std::move(two)));
    const std::string text = take(artifact::to_json(take(GraphStore::create(std::move(b).into_data()))));
    EXPECT_NE(text.find(R"("inputs":[0,0,0],"attrs":{},"shape":[3],"dtype":"float32","num_outputs":2,)"
                        R"("output_shapes":[[3],[]],"output_dtypes":["float32","int"],)"),
              std::string::npos)
        << text;
}

// An attribute of `lists` nested lists around a null, as node %0's only
// attribute: the deepest value sits at level 5 + 2 * lists.
GraphStore nested_store(int lists) {
    AttrValue v = AttrValue::null();
    for (int i = 0; i < lists; ++i) v = AttrValue::from_list({std::move(v)});
    AttrMap attrs;
    attrs.emplace("deep", std::move(v));
    auto b = take(GraphBuilder::new_for_array_api("2024.12"));
    EXPECT_TRUE(b.append_input(meta({}, "bool", std::move(attrs))));
    return take(GraphStore::create(std::move(b).into_data()));
}

TEST(ArtifactWriterTest, RefusesWhatTheReaderWouldRefuseForItsShape) {
    const std::string deepest = take(artifact::to_json(nested_store(61)));
    EXPECT_EQ(take(artifact::to_json(take(artifact::from_json(deepest)))), deepest);
    auto too_deep = artifact::to_json(nested_store(62));
    ASSERT_FALSE(too_deep);
    EXPECT_EQ(too_deep.error().message, "graph serialization failed: recursion limit exceeded");

    auto b = take(GraphBuilder::new_for_array_api("2024.12"));
    EXPECT_TRUE(b.append_input(meta({}, "bool", {}, "caf\xe9")));
    auto latin1 = artifact::to_json(take(GraphStore::create(std::move(b).into_data())));
    ASSERT_FALSE(latin1);
    EXPECT_EQ(latin1.error().message, "graph serialization failed: string is not valid UTF-8");
}

// A sink that hands out fresh buffers of exactly the asked size, so every
// growth must carry the kept bytes over, and that remembers its growths.
class RecordingSink final : public artifact::TextSink {
public:
    char* grow(size_t kept, size_t capacity) override {
        auto next = std::make_unique<std::vector<char>>(capacity, '\xff');
        if (kept != 0) std::copy_n(buffers_.back()->data(), kept, next->data());
        buffers_.push_back(std::move(next));
        return buffers_.back()->data();
    }
    [[nodiscard]] std::string text(size_t size) const { return {buffers_.back()->data(), size}; }
    [[nodiscard]] size_t growths() const { return buffers_.size(); }

private:
    std::vector<std::unique_ptr<std::vector<char>>> buffers_;
};

TEST(ArtifactWriterTest, WritesIntoASinkTheSameTextAsToJson) {
    struct Case {
        std::string text;
        bool ascii;
    };
    // Attribute texts are not counted in the writer's first guess, so long
    // ones make it grow the sink several times over.
    for (const Case& c : {Case{std::string(70000, 'x'), true}, Case{"caf\xc3\xa9", false}}) {
        auto b = take(GraphBuilder::new_for_array_api("2024.12"));
        AttrMap attrs;
        attrs.emplace("long", AttrValue::from_string(c.text + c.text + c.text));
        EXPECT_TRUE(b.append_input(meta({}, "float32", std::move(attrs), c.text)));
        const GraphStore store = take(GraphStore::create(std::move(b).into_data()));
        RecordingSink sink;
        const artifact::WrittenText written = take(artifact::write_json(store, sink));
        EXPECT_EQ(written.ascii, c.ascii);
        EXPECT_EQ(sink.text(written.size), take(artifact::to_json(store)));
        EXPECT_EQ(sink.growths() > 1, c.ascii);
    }
}

// Every attribute kind, the float bit patterns that plain numbers lose,
// control and non-ASCII characters in every kind of text, inline and edge
// range parents, multi-output nodes, repeated outputs and every constant
// dtype and kind.
GraphStore rich_store() {
    auto b = take(GraphBuilder::new_for_array_api("2023.12"));
    const NodeId x = take(b.append_input(meta({2, 3}, "numpy.float32", {}, "x\x01\xc3\xa9", "f.py:1\t\"q\"")));
    const NodeId y = take(b.append_input(meta({}, " float ")));
    std::vector<NodeId> constants;
    for (size_t d = 0; d < NumericDType::kCount; ++d) {
        const NumericDType dtype = *NumericDType::from_index(d);
        const bool scalar = d % 2 == 0;
        const Shape shape = scalar ? Shape{} : Shape{3};
        Bytes data(dtype.size() * (scalar ? 1 : 3));
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = dtype == NumericDType::Bool ? 1 : static_cast<uint8_t>(37 * i + d);
        auto c =
            take(PortableConstant::create(scalar ? ConstantKind::Scalar : ConstantKind::Array, dtype, shape, data));
        constants.push_back(take(b.append_constant(meta(shape, dtype.name()), std::move(c))));
    }
    AttrMap inner;
    inner.emplace("", AttrValue::from_tuple({}));
    inner.emplace("\x7f/\\", AttrValue::from_list({AttrValue::from_map({})}));
    AttrMap attrs;
    attrs.emplace("nan", AttrValue::from_float_bits(0x7ff8000000000001ull));
    attrs.emplace("signalling", AttrValue::from_float_bits(0xfff0000000000001ull));
    attrs.emplace("neg_zero", AttrValue::from_float(-0.0));
    attrs.emplace("zero", AttrValue::from_float(0.0));
    attrs.emplace("inf", AttrValue::from_float(-std::numeric_limits<double>::infinity()));
    attrs.emplace("min", AttrValue::from_integer(std::numeric_limits<int64_t>::min()));
    attrs.emplace("max", AttrValue::from_integer(std::numeric_limits<int64_t>::max()));
    attrs.emplace("flags",
                  AttrValue::from_list({AttrValue::from_bool(true), AttrValue::from_bool(false), AttrValue::null(),
                                        AttrValue::from_tuple({AttrValue::from_bytes({})})}));
    attrs.emplace("bytes", AttrValue::from_bytes({0, 0x7f, 0x80, 0xff}));
    attrs.emplace("text", AttrValue::from_string(std::string("nul\0 \x1f \xe2\x82\xac \xf0\x9f\x98\x80", 15)));
    attrs.emplace("\xce\xbb\n", AttrValue::from_map(std::move(inner)));
    const std::vector<NodeId> parents{x, y, constants[3], x};
    const auto f32 = take(DTypeDescriptor::from_name("float32"));
    const auto half = take(DTypeDescriptor::from_name("half"));
    auto multi = take(NodeMetadata::create(std::move(attrs), {2, 3}, f32, "multi", 3,
                                           std::vector<Shape>{{2, 3}, {0}, {18446744073709551615ull}},
                                           std::vector<DTypeDescriptor>{f32, half, f32}, std::nullopt));
    const NodeId m = take(b.append_operation("vendor.op\"x\"", 4294967295u, parents, std::move(multi)));
    const std::vector<NodeId> one{m};
    const NodeId n = take(b.append_operation("neg", 1, one, meta({2, 3})));
    EXPECT_TRUE(b.append_output(n));
    EXPECT_TRUE(b.append_output(m));
    EXPECT_TRUE(b.append_output(n));
    return take(GraphStore::create(std::move(b).into_data()));
}

TEST(ArtifactRoundTripTest, RichStoreRewritesByteForByte) {
    const GraphStore store = rich_store();
    const std::string text = take(artifact::to_json(store));
    const GraphStore back = take(artifact::from_json(text));
    EXPECT_EQ(take(artifact::to_json(back)), text);

    ASSERT_EQ(back.node_count(), store.node_count());
    for (NodeId id = 0; id < store.node_count(); ++id) {
        const NodeRecord a = NodeRecord::from(take(store.node(id)));
        const NodeRecord b = NodeRecord::from(take(back.node(id)));
        EXPECT_EQ(a.op, b.op);
        EXPECT_EQ(a.parents, b.parents);
        EXPECT_EQ(a.schema_version, b.schema_version);
        EXPECT_TRUE(a.metadata == b.metadata) << "node " << id;
    }
    EXPECT_EQ(back.inputs().size(), 2u);
    EXPECT_EQ(std::vector<NodeId>(back.outputs().begin(), back.outputs().end()),
              std::vector<NodeId>(store.outputs().begin(), store.outputs().end()));
    EXPECT_EQ(back.required_array_api_version(), "2023.12");
    ASSERT_EQ(back.constants().size(), NumericDType::kCount);
    for (const auto& [id, constant] : store.constants()) {
        const PortableConstant* read = back.constant(id);
        ASSERT_NE(read, nullptr);
        EXPECT_EQ(read->kind(), constant.kind());
        EXPECT_EQ(read->dtype(), constant.dtype());
        EXPECT_EQ(read->shape(), constant.shape());
        EXPECT_TRUE(
            std::equal(read->data().begin(), read->data().end(), constant.data().begin(), constant.data().end()));
    }
    const AttrMap attrs = attr::to_tree(take(back.node(16)).metadata.attrs());
    EXPECT_EQ(attrs.at("nan").as_float_bits(), 0x7ff8000000000001ull);
    EXPECT_TRUE(std::signbit(attrs.at("neg_zero").as_float()));
    EXPECT_FALSE(attrs.at("neg_zero") == attrs.at("zero"));
}

TEST(ArtifactRoundTripTest, EmptyStore) {
    const GraphStore empty = take(GraphStore::create(take(GraphBuilder::new_for_array_api("2022.12")).into_data()));
    const std::string text = take(artifact::to_json(empty));
    EXPECT_NE(text.find(R"("inputs":[],"outputs":[],"nodes":[],"constants":{}})"), std::string::npos);
    EXPECT_EQ(take(artifact::to_json(take(artifact::from_json(text)))), text);
}

}  // namespace
}  // namespace vorlix
