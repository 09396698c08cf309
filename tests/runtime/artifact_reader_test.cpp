// Artifact reading: the order of the checks, every message, and the position of parse-step failures.
#include "runtime/artifact.h"

#include <gtest/gtest.h>

#include "runtime/artifact_reader/fast_reader.h"

#include "tests/runtime/artifact_samples.h"

namespace vorlix {
namespace {

using samples::read_failure;
using samples::replaced;
using samples::take;

constexpr std::string_view kFailed = "graph deserialization failed: ";

// A replacement in the small artifact and the failure it must cause.
struct Edit {
    std::string from;
    std::string to;
    std::string message;
};

// Each check of a stage, applied all at once and then undone one by one:
// every failure must be the first of the remaining ones in check order.
void expect_check_order(std::string text, const std::vector<Edit>& edits) {
    for (const Edit& e : edits) text = replaced(text, e.from, e.to);
    for (const Edit& e : edits) {
        EXPECT_EQ(read_failure(text), e.message);
        text = replaced(text, e.to, e.from);
    }
    EXPECT_TRUE(artifact::from_json(text));
}

TEST(ArtifactReaderOrderTest, StagesRunInOrder) {
    const std::string text = samples::small_text();
    std::vector<Edit> edits{
        {R"("digest":)", R"("extra":0,"digest":)", ""},
        {R"("format":"vorlix.graph")", R"("format":"other")",
         R"(Unsupported graph format "other"; expected "vorlix.graph")"},
        {R"("id":2,)", R"("id":3,)", "graph nodes must have dense append-only IDs: expected 2, got 3"},
        {R"("constants":{"1":)", R"("constants":{"01":)", R"(graph constant key "01" is not a canonical node ID)"},
        {R"("2024.12")", R"("2025.12")", R"(Unsupported required Array API version "2025.12")"},
        {R"("outputs":[2])", R"("outputs":[3])", "graph output does not exist at node %3"},
    };
    std::string broken = text;
    for (const Edit& e : edits) broken = replaced(broken, e.from, e.to);
    edits[0].message = std::string(kFailed) +
                       "unknown field \"extra\", expected one of `format`, `version`, `kind`, `dtype`, `shape`, "
                       "`layout`, `byte_order`, `data`, `digest`" +
                       samples::after(broken, R"("extra")");
    expect_check_order(text, edits);
}

TEST(ArtifactReaderOrderTest, HeaderTextsBeforeNumbers) {
    expect_check_order(
        samples::small_text(),
        {
            {R"("format":"vorlix.graph")", R"("format":"other")",
             R"(Unsupported graph format "other"; expected "vorlix.graph")"},
            {R"("version":"2.0")", R"("version":"2.\u0000")", R"(Unsupported graph version "2.\0"; expected "2.0")"},
            {R"("semantic_profile":"vorlix-array-1")", R"("semantic_profile":"")",
             R"(Unsupported semantic profile ""; expected "vorlix-array-1")"},
            {R"("producer":"vorlix")", R"("producer":"me\"")",
             R"(Unsupported graph producer "me\""; expected "vorlix")"},
            {R"("core_opset":1)", R"("core_opset":0)", "Unsupported core opset 0; expected 1"},
            {R"("semantic_profile_version":1)", R"("semantic_profile_version":4294967295)",
             "Unsupported semantic profile version 4294967295; expected 1"},
            {R"("compiler_version":1)", R"("compiler_version":2)", "Unsupported compiler version 2; expected 1"},
            {R"("optimizer_version":2)", R"("optimizer_version":1)", "Unsupported optimizer version 1; expected 2"},
        });
}

// The constant's own checks fail at its closing brace, the last but two
// bytes of the small artifact.
TEST(ArtifactReaderOrderTest, ConstantChecksWhileParsing) {
    const std::string text = samples::small_text();
    const std::string digest(samples::small_store().constant(1)->digest());
    std::vector<Edit> edits{
        {R"("format":"vorlix.numeric-constant")", R"("format":"npy")", R"(unknown staged constant format "npy")"},
        {R"("version":2,)", R"("version":3,)", "unsupported staged constant version 3"},
        {R"("layout":"C")", R"("layout":"F")", R"(unsupported staged constant layout "F")"},
        {R"("byte_order":"little")", R"("byte_order":"big")", R"(unsupported staged constant byte order "big")"},
        {R"("kind":"array")", R"("kind":"tensor")", R"(unknown staged constant kind "tensor")"},
        {R"("dtype":"float32","shape")", R"("dtype":"float","shape")", R"(unsupported staged constant dtype "float")"},
        {R"("data":"0000803f00000040")", R"("data":"0000803F00000040")",
         "staged constant data must use lowercase hexadecimal"},
        {R"("shape":[2],"layout")", R"("shape":[3],"layout")", "staged constant shape/dtype require 12 bytes; got 8"},
        {digest, digest.substr(0, 63) + (digest.back() == '0' ? "1" : "0"),
         "staged constant digest does not match its contents"},
    };
    std::string broken = text;
    for (const Edit& e : edits) broken = replaced(broken, e.from, e.to);
    for (Edit& e : edits) {
        e.message = std::string(kFailed) + e.message + " at line 1 column " + std::to_string(broken.size() - 2);
        broken = replaced(broken, e.to, e.from);
    }
    expect_check_order(text, edits);
}

class ArtifactReaderEditTest : public ::testing::TestWithParam<Edit> {};

TEST_P(ArtifactReaderEditTest, FailsWithTheMessage) {
    const Edit& e = GetParam();
    const std::string text = replaced(samples::small_text(), e.from, e.to);
    std::string expected = e.message;
    // Constant checks belong to parsing and carry the constant's position.
    if (expected.find("staged") != std::string::npos) {
        expected = std::string(kFailed) + expected + " at line 1 column " + std::to_string(text.size() - 2);
    }
    EXPECT_EQ(read_failure(text), expected);
}

INSTANTIATE_TEST_SUITE_P(
    NodeSteps, ArtifactReaderEditTest,
    ::testing::Values(
        Edit{R"("id":1,)", R"("id":2,)", "graph nodes must have dense append-only IDs: expected 1, got 2"},
        Edit{R"("inputs":[0,1])", R"("inputs":[0,2])", "node %2 must reference only earlier nodes; got input %2"},
        Edit{R"("op":"add")", R"("op":"")", "arena operation name must not be empty"},
        Edit{R"("op":"add","schema_version":1)", R"("op":"add","schema_version":0)",
             "arena operation schema version must be at least 1"},
        Edit{R"("dtype":"float32","num_outputs":1,"output_shapes":null,"output_dtypes":null,"name":"sum")",
             R"("dtype":" \u00a0","num_outputs":1,"output_shapes":null,"output_dtypes":null,"name":"sum")",
             "dtype descriptor must not be empty"},
        Edit{R"("num_outputs":1,"output_shapes":null,"output_dtypes":null,"name":"sum")",
             R"("num_outputs":0,"output_shapes":null,"output_dtypes":null,"name":"sum")",
             "node num_outputs must be at least 1"},
        Edit{R"("output_shapes":null,"output_dtypes":null,"name":"sum")",
             R"("output_shapes":[],"output_dtypes":null,"name":"sum")",
             "single-output node must not declare output_shapes/output_dtypes"},
        Edit{R"("num_outputs":1,"output_shapes":null,"output_dtypes":null,"name":"sum")",
             R"("num_outputs":2,"output_shapes":null,"output_dtypes":null,"name":"sum")",
             "multi-output node is missing output_shapes/output_dtypes"},
        Edit{
            R"("num_outputs":1,"output_shapes":null,"output_dtypes":null,"name":"sum")",
            R"("num_outputs":18446744073709551615,"output_shapes":[[2],[2]],"output_dtypes":["float32","x"],"name":"sum")",
            "node expects 18446744073709551615 outputs but got 2 shapes and 2 dtypes"},
        Edit{R"("num_outputs":1,"output_shapes":null,"output_dtypes":null,"name":"sum")",
             R"("num_outputs":2,"output_shapes":[[2],[2]],"output_dtypes":["float32","a\u0000"],"name":"sum")",
             "dtype descriptor must not contain NUL characters"},
        Edit{R"("num_outputs":1,"output_shapes":null,"output_dtypes":null,"name":"sum")",
             R"("num_outputs":2,"output_shapes":[[2],[2]],"output_dtypes":["float","float32"],"name":"sum")",
             "output-0 metadata must match the node shape and dtype"}));

INSTANTIATE_TEST_SUITE_P(
    ConstantChecks, ArtifactReaderEditTest,
    ::testing::Values(Edit{R"("data":"0000803f00000040")", R"("data":"0000803f0000004")",
                           "staged constant data must contain an even number of characters"},
                      Edit{R"("kind":"array")", R"("kind":"scalar")", "a staged scalar constant must have rank zero"},
                      Edit{R"("shape":[2],"layout")", R"("shape":[4294967296,4294967296],"layout")",
                           "staged constant shape overflows"},
                      Edit{R"("shape":[2],"layout")", R"("shape":[4611686018427387904],"layout")",
                           "staged constant byte count overflows"},
                      Edit{R"("shape":[2],"layout")",
                           R"("shape":[18446744073709551615,0,18446744073709551615],"layout")",
                           "staged constant shape/dtype require 0 bytes; got 8"},
                      Edit{R"("dtype":"float32","shape":[2],"layout")", R"("dtype":"bool","shape":[8],"layout")",
                           "staged bool constant bytes must be exactly 0 or 1"},
                      Edit{R"("data":"0000803f00000040")", R"("data":"0000803f00000041")",
                           "staged constant digest does not match its contents"}));

INSTANTIATE_TEST_SUITE_P(
    KeysAndStore, ArtifactReaderEditTest,
    ::testing::Values(
        Edit{R"("constants":{"1")", R"("constants":{"07")", R"(graph constant key "07" is not a canonical node ID)"},
        Edit{R"("constants":{"1")", R"("constants":{"+1")", R"(graph constant key "+1" is not a canonical node ID)"},
        Edit{R"("constants":{"1")", R"("constants":{"-0")", R"(graph constant key "-0" is not a canonical node ID)"},
        Edit{R"("constants":{"1")", R"("constants":{"")", R"(graph constant key "" is not a canonical node ID)"},
        Edit{R"("constants":{"1")", R"("constants":{"1 ")", R"(graph constant key "1 " is not a canonical node ID)"},
        Edit{R"("constants":{"1")", R"("constants":{"4294967296")",
             R"(graph constant key "4294967296" is not a canonical node ID)"},
        Edit{R"("constants":{"1")", R"("constants":{"4294967295")",
             "graph constant does not exist at node %4294967295"},
        Edit{R"("constants":{"1")", R"("constants":{"2")", "constant payload ownership is inconsistent at node %1"},
        Edit{R"("op":"add")", R"("op":"vorlix.input")", "input role ownership is inconsistent at node %2"},
        Edit{R"("inputs":[0],)", R"("inputs":[0,0],)", "graph inputs contain duplicate node IDs"}));

// The constant of the small artifact, as written.
std::string constant_text(const std::string& text) {
    const size_t start = text.find(R"("constants":{"1":)") + 17;
    return text.substr(start, text.size() - 2 - start);
}

TEST(ArtifactReaderTest, ConstantAndAttributeKeys) {
    const std::string text = samples::small_text();
    const std::string constant = constant_text(text);

    // The same key twice: the second payload is the one kept, but the first
    // is checked too.
    const std::string twice = replaced(text, R"("constants":{"1":)", R"("constants":{"1":)" + constant + R"(,"1":)");
    EXPECT_EQ(take(artifact::to_json(take(artifact::from_json(twice)))), text);
    const std::string bad_first = replaced(twice, R"("layout":"C")", R"("layout":"K")");
    EXPECT_EQ(read_failure(bad_first), std::string(kFailed) +
                                           R"(unsupported staged constant layout "K" at line 1 column )" +
                                           std::to_string(bad_first.find(R"(},"1":)") + 1));

    const std::string foreign = replaced(text, R"("constants":{"1":)", R"("constants":{"2":)" + constant + R"(,"1":)");
    EXPECT_EQ(read_failure(foreign), "constant payload ownership is inconsistent at node %2");

    const std::string attrs = replaced(text, R"("attrs":{"axis":{"kind":"integer","value":1}})",
                                       R"("attrs":{"axis":["integer",5],"axis":["integer",1]})");
    EXPECT_EQ(take(artifact::to_json(take(artifact::from_json(attrs)))), text);
}

TEST(ArtifactReaderTest, OptionalNodeMembersMayBeAbsent) {
    const std::string text = samples::small_text();
    std::string terse = text;
    for (int node = 0; node < 2; ++node) {
        terse =
            replaced(terse, R"(,"output_shapes":null,"output_dtypes":null,"name":null,"source_location":null})", "}");
    }
    terse = replaced(terse, R"(,"output_shapes":null,"output_dtypes":null,"name":"sum","source_location":null})",
                     R"(,"name":"sum"})");
    EXPECT_EQ(terse.find("output_shapes"), std::string::npos);
    EXPECT_EQ(take(artifact::to_json(take(artifact::from_json(terse)))), text);
}

// The quick reader reads the writer's spelling and declines any other, and
// what it reads is what the strict reader reads.
TEST(ArtifactReaderTest, QuickReaderReadsTheWritersSpellingOnly) {
    const std::string text = samples::small_text();
    const std::vector<std::pair<std::string, bool>> spellings{
        {text, true},
        {replaced(text, R"("inputs":[],)", R"("inputs": [],)"), false},
        {replaced(text, R"({"kind":"integer","value":1})", R"({"value":1,"kind":"integer"})"), false},
        {replaced(text, R"("name":"sum")", R"("name":"s\u0075m")"), false},
    };
    for (const auto& [spelling, quick_reads] : spellings) {
        const std::optional<GraphStore> quick = artifact::reader::read_quickly(spelling);
        EXPECT_EQ(quick.has_value(), quick_reads) << spelling;
        const std::string strict = take(artifact::to_json(take(artifact::reader::read_strictly(spelling))));
        EXPECT_EQ(strict, text);
        if (quick) EXPECT_EQ(take(artifact::to_json(*quick)), strict);
    }
}

// Reading one attribute value in place of the small artifact's `axis`.
struct AttrCase {
    std::string json;
    std::optional<AttrValue> value;
    std::string message = {};
    // The failure is detected after this prefix of `json` (all of it when empty).
    std::string upto = {};
};

class ArtifactAttrReadTest : public ::testing::TestWithParam<AttrCase> {};

TEST_P(ArtifactAttrReadTest, ReadsOrFails) {
    const AttrCase& c = GetParam();
    const std::string text = replaced(samples::small_text(), R"({"kind":"integer","value":1})", c.json);
    if (c.value) {
        const GraphStore store = take(artifact::from_json(text));
        EXPECT_TRUE(attr::to_tree(take(store.node(2)).metadata.attrs()).at("axis") == *c.value);
        return;
    }
    const size_t at = text.find(R"("axis":)") + 7 + (c.upto.empty() ? c.json.size() : c.upto.size());
    EXPECT_EQ(read_failure(text), std::string(kFailed) + c.message + " at line 1 column " + std::to_string(at));
}

AttrValue map_of(std::string key, AttrValue value) {
    AttrMap map;
    map.emplace(std::move(key), std::move(value));
    return AttrValue::from_map(std::move(map));
}

INSTANTIATE_TEST_SUITE_P(
    Values, ArtifactAttrReadTest,
    ::testing::Values(
        AttrCase{R"({"value":5,"kind":"integer"})", AttrValue::from_integer(5)},
        AttrCase{R"(["integer",-9223372036854775808])", AttrValue::from_integer(INT64_MIN)},
        AttrCase{R"(["integer",-0])", AttrValue::from_integer(0)}, AttrCase{R"({"kind":"null"})", AttrValue::null()},
        AttrCase{R"({"value":null,"kind":"null"})", AttrValue::null()}, AttrCase{R"(["null",null])", AttrValue::null()},
        AttrCase{R"({"kind":"float","value":"7ff8000000000001"})", AttrValue::from_float_bits(0x7ff8000000000001ull)},
        AttrCase{R"(["float","8000000000000000"])", AttrValue::from_float(-0.0)},
        AttrCase{R"({"kind":"bytes","value":""})", AttrValue::from_bytes({})},
        AttrCase{R"(["string","\u00e9\ud83d\ude00\/"])", AttrValue::from_string("\xc3\xa9\xf0\x9f\x98\x80/")},
        AttrCase{R"({"value":[["integer",1],{"kind":"null"}],"kind":"tuple"})",
                 AttrValue::from_tuple({AttrValue::from_integer(1), AttrValue::null()})},
        AttrCase{R"({"kind":"map","value":{"a":["integer",1],"a":["bool",true]}})",
                 map_of("a", AttrValue::from_bool(true))},
        AttrCase{R"({"value":{"":["list",[]]},"kind":"map"})", map_of("", AttrValue::from_list({}))}));

INSTANTIATE_TEST_SUITE_P(
    Failures, ArtifactAttrReadTest,
    ::testing::Values(
        AttrCase{R"(["null"])", std::nullopt, "invalid length 1, expected a [kind, value] array"},
        AttrCase{R"([])", std::nullopt, "invalid length 0, expected a [kind, value] array"},
        AttrCase{R"(["integer",1,2])", std::nullopt, "invalid length 3, expected a [kind, value] array",
                 R"(["integer",1,2)"},
        AttrCase{R"({"kind":"integer","value":9223372036854775808})", std::nullopt,
                 "invalid value: integer 9223372036854775808, expected i64",
                 R"({"kind":"integer","value":9223372036854775808)"},
        AttrCase{R"({"kind":"integer","value":1.0})", std::nullopt, "invalid type: number 1.0, expected i64",
                 R"({"kind":"integer","value":1.0)"},
        AttrCase{R"({"kind":"float","value":"3FF0000000000000"})", std::nullopt,
                 "exact float bits must be 16 lowercase hexadecimal characters",
                 R"({"kind":"float","value":"3FF0000000000000")"},
        AttrCase{R"(["float","3ff00000000000"])", std::nullopt,
                 "exact float bits must be 16 lowercase hexadecimal characters", R"(["float","3ff00000000000")"},
        AttrCase{R"(["float",1])", std::nullopt, "invalid type: integer 1, expected a string", R"(["float",1)"},
        AttrCase{R"(["bytes","abc"])", std::nullopt, "hex byte string must contain an even number of characters",
                 R"(["bytes","abc")"},
        AttrCase{R"(["bytes","0A"])", std::nullopt, "hex byte string must use lowercase hexadecimal",
                 R"(["bytes","0A")"},
        AttrCase{R"({"kind":"int","value":1})", std::nullopt,
                 "unknown attribute kind \"int\", expected one of `null`, `bool`, `integer`, `float`, `string`, "
                 "`bytes`, `list`, `tuple`, `map`",
                 R"({"kind":"int")"},
        AttrCase{R"({"value":1})", std::nullopt, "missing field `kind`"},
        AttrCase{R"({"kind":"integer"})", std::nullopt, "missing field `value`"},
        AttrCase{R"({"kind":"bool","kind":"bool","value":true})", std::nullopt, "duplicate field `kind`",
                 R"({"kind":"bool","kind")"},
        AttrCase{R"({"value":true,"kind":"bool","value":true})", std::nullopt, "duplicate field `value`",
                 R"({"value":true,"kind":"bool","value")"},
        AttrCase{R"({"kind":"bool","value":true,"note":1})", std::nullopt,
                 "unknown field \"note\", expected `kind` or `value`", R"({"kind":"bool","value":true,"note")"},
        AttrCase{R"({"kind":"null","value":0})", std::nullopt, "invalid type: integer 0, expected null",
                 R"({"kind":"null","value":0)"},
        AttrCase{R"({"value":"x","kind":"integer"})", std::nullopt, R"(invalid type: string "x", expected i64)",
                 R"({"value":"x","kind":"integer")"},
        AttrCase{R"({"value":[],"kind":"map"})", std::nullopt, "invalid type: array, expected an object",
                 R"({"value":[],"kind":"map")"},
        AttrCase{R"({"kind":"list","value":{}})", std::nullopt, "invalid type: object, expected an array",
                 R"({"kind":"list","value":{)"},
        AttrCase{R"(7)", std::nullopt,
                 "invalid type: integer 7, expected an attribute value object or [kind, value] array"},
        AttrCase{R"({"kind":5,"value":5})", std::nullopt, "invalid type: integer 5, expected an attribute kind",
                 R"({"kind":5)"},
        AttrCase{R"(["bool","true"])", std::nullopt, R"(invalid type: string "true", expected a boolean)",
                 R"(["bool","true")"},
        AttrCase{R"({"kind":"map","value":{"a":["integer",0.5],"a":["integer",2]}})", std::nullopt,
                 "invalid type: number 0.5, expected i64", R"({"kind":"map","value":{"a":["integer",0.5)"}));

// A whole text and its failure; `at` is the byte count the position names.
struct TextCase {
    std::string text;
    std::string message;
    size_t at;
};

class ArtifactParseTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(ArtifactParseTest, FailsAtThePosition) {
    const TextCase& c = GetParam();
    EXPECT_EQ(read_failure(c.text), std::string(kFailed) + c.message + " at line 1 column " + std::to_string(c.at));
}

INSTANTIATE_TEST_SUITE_P(
    Syntax, ArtifactParseTest,
    ::testing::Values(
        TextCase{"", "EOF while parsing a value", 1}, TextCase{"{", "EOF while parsing an object", 1},
        TextCase{R"({"format")", "EOF while parsing an object", 9},
        TextCase{R"({"format":)", "EOF while parsing a value", 10},
        TextCase{R"({"format":"vorlix)", "EOF while parsing a string", 17},
        TextCase{R"({"inputs":[1)", "EOF while parsing an array", 12}, TextCase{R"({"format" 1})", "expected `:`", 11},
        TextCase{R"({"format":"x",})", "trailing comma", 15}, TextCase{R"({"format":"x"])", "expected `,` or `}`", 14},
        TextCase{R"({5:1})", "key must be a string", 2}, TextCase{R"({"inputs":[1,])", "trailing comma", 14},
        TextCase{R"({"inputs":[1 2])", "expected `,` or `]`", 14},
        TextCase{R"({"inputs":[01])", "expected `,` or `]`", 13}, TextCase{R"({"format":tru})", "expected value", 14},
        TextCase{R"({"inputs":[1.])", "invalid number", 14},
        TextCase{R"({"inputs":[1e999])", "number out of range", 16},
        TextCase{std::string("\0{}", 3), "expected value", 1},
        TextCase{"{\"format\":\"a\x01\"}", "control character found while parsing a string", 13},
        TextCase{std::string("{\"format\":\"x\0\"}", 15), "control character found while parsing a string", 13},
        TextCase{R"({"format":"\q"})", "invalid escape", 13}, TextCase{R"({"format":"\u12x4"})", "invalid escape", 16},
        TextCase{R"({"format":"\ud800x"})", "lone surrogate in unicode escape", 18},
        TextCase{R"({"format":"\ud800\u0041"})", "lone surrogate in unicode escape", 23},
        TextCase{R"({"format":"\udc00"})", "lone surrogate in unicode escape", 17},
        TextCase{R"({"format":"\n\udfff"})", "lone surrogate in unicode escape", 19},
        TextCase{"{\"format\":\"\xc3\x28\"}", "invalid UTF-8 in string", 12},
        TextCase{"{\"format\":\"\xc3\xa9\xed\xa0\x80\"}", "invalid UTF-8 in string", 14},
        TextCase{"{\"\xff\":1}", "invalid UTF-8 in string", 3}));

INSTANTIATE_TEST_SUITE_P(
    Schema, ArtifactParseTest,
    ::testing::Values(
        TextCase{R"([])", "invalid type: array, expected a graph artifact object", 1},
        TextCase{R"("x")", R"(invalid type: string "x", expected a graph artifact object)", 3},
        TextCase{R"({"format":"vorlix.graph","core_opset":"x"})", R"(invalid type: string "x", expected u32)", 41},
        TextCase{R"({"inputs":[-1]})", "invalid value: integer -1, expected u32", 13},
        TextCase{R"({"inputs":[4294967296]})", "invalid value: integer 4294967296, expected u32", 21},
        TextCase{R"({"inputs":[99999999999999999999999]})",
                 "invalid value: integer 99999999999999999999999, expected u32", 34},
        TextCase{R"({"inputs":[1.5]})", "invalid type: number 1.5, expected u32", 14},
        TextCase{R"({"inputs":[2e0]})", "invalid type: number 2e0, expected u32", 14},
        TextCase{R"({"inputs":{}})", "invalid type: object, expected an array of u32", 11},
        TextCase{R"({"nodes":[{"shape":[-1]}]})", "invalid value: integer -1, expected u64", 22},
        TextCase{R"({"nodes":[{"name":5}]})", "invalid type: integer 5, expected a string or null", 19},
        TextCase{R"({"nodes":[{"output_shapes":[[1],2]}]})", "invalid type: integer 2, expected an array of u64", 33},
        TextCase{R"({"nodes":[{"output_dtypes":true}]})",
                 "invalid type: boolean true, expected an array of strings or null", 31},
        TextCase{R"({"nodes":[null]})", "invalid type: null, expected a node object", 14},
        TextCase{R"({"constants":{"1":[]}})", "invalid type: array, expected a constant object", 19},
        TextCase{R"({"format":"a","format":"a"})", "duplicate field `format`", 22},
        TextCase{R"({"nodes":[{"id":0,"id":0}]})", "duplicate field `id`", 22},
        TextCase{R"({"nodes":[{}]})", "missing field `id`", 12},
        TextCase{R"({"nodes":[{"op":"x","x":1}]})",
                 "unknown field \"x\", expected one of `id`, `op`, "
                 "`schema_version`, `inputs`, `attrs`, `shape`, `dtype`, `num_outputs`, `output_shapes`, "
                 "`output_dtypes`, `name`, `source_location`",
                 23},
        TextCase{R"({"\u0000":1})",
                 "unknown field \"\\0\", expected one of `format`, `version`, `core_opset`, "
                 "`semantic_profile`, `semantic_profile_version`, `required_array_api_version`, `producer`, "
                 "`compiler_version`, `optimizer_version`, `inputs`, `outputs`, `nodes`, `constants`",
                 9},
        TextCase{R"({"constants":{"1":{"digest":"x"}}})", "missing field `format`", 32},
        TextCase{R"({})", "missing field `format`", 2}));

TEST(ArtifactParseTest, PositionsCountLinesAndColumns) {
    EXPECT_EQ(read_failure(" \n\t"), std::string(kFailed) + "EOF while parsing a value at line 2 column 1");
    EXPECT_EQ(read_failure("{\n\"format\":\n  5}"),
              std::string(kFailed) + "invalid type: integer 5, expected a string at line 3 column 3");
    // A line feed is on the line it ends.
    EXPECT_EQ(read_failure("{\n"), std::string(kFailed) + "EOF while parsing an object at line 1 column 2");
    EXPECT_EQ(read_failure("{\"format\":\"a\nb\"}"),
              std::string(kFailed) + "control character found while parsing a string at line 1 column 13");
}

TEST(ArtifactParseTest, OnlyWhiteSpaceMayFollowTheArtifact) {
    const std::string text = samples::small_text();
    EXPECT_TRUE(artifact::from_json(" \n" + text + " \r\n\t"));
    for (const std::string tail : {std::string("x"), std::string("{}"), std::string(1, '\0'), std::string(" \f")}) {
        const size_t first = text.size() + tail.find_first_not_of(' ') + 1;
        EXPECT_EQ(read_failure(text + tail),
                  std::string(kFailed) + "trailing characters at line 1 column " + std::to_string(first));
    }
}

// The artifact object is level 1; `["list",[` opens two levels and the
// small artifact's attribute value sits at level 5.
std::string nested_attribute(int lists, std::string_view leaf) {
    std::string json;
    for (int i = 0; i < lists; ++i) json += R"(["list",[)";
    json += leaf;
    for (int i = 0; i < lists; ++i) json += "]]";
    return replaced(samples::small_text(), R"({"kind":"integer","value":1})", json);
}

TEST(ArtifactParseTest, NestingStopsAtLevel128) {
    EXPECT_TRUE(artifact::from_json(nested_attribute(61, R"(["null",null])")));
    const std::string deepest = nested_attribute(61, R"(["list",[]])");
    EXPECT_EQ(read_failure(deepest), std::string(kFailed) + "recursion limit exceeded at line 1 column " +
                                         std::to_string(deepest.find(R"(["list",[]])") + 9));
    const std::string example = nested_attribute(130, R"(["null",null])");
    EXPECT_NE(read_failure(example).find("recursion limit exceeded"), std::string::npos);
}

}  // namespace
}  // namespace vorlix
