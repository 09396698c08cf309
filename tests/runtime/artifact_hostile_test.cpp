// Artifact reading under hostile input: truncation anywhere, declared sizes far beyond the data, and megabytes of
// nesting.
#include "runtime/artifact.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/runtime/artifact_samples.h"

namespace vorlix {
namespace {

using samples::read_failure;
using samples::replaced;

constexpr std::string_view kFailed = "graph deserialization failed: ";

// A prefix of a valid artifact breaks off inside a value, so the parser
// reaches the end of the text before anything else can be wrong.
TEST(ArtifactHostileTest, EveryTruncationFailsAtTheEnd) {
    const std::string text = samples::small_text();
    for (size_t size = 0; size < text.size(); ++size) {
        const std::string message = read_failure(std::string_view(text).substr(0, size));
        EXPECT_EQ(message.rfind(std::string(kFailed) + "EOF while parsing ", 0), 0u) << size << ": " << message;
        // Columns count from 1, an empty text's included.
        EXPECT_TRUE(message.ends_with(" at line 1 column " + std::to_string(std::max<size_t>(size, 1))))
            << size << ": " << message;
    }
}

TEST(ArtifactHostileTest, DeclaredSizesBeyondTheDataAllocateNothingFirst) {
    const std::string text = samples::small_text();
    // Shapes in the node metadata are only recorded; no product is taken.
    const std::string huge_shape =
        replaced(text, R"("inputs":[],"attrs":{},"shape":[2])",
                 R"("inputs":[],"attrs":{},"shape":[18446744073709551615,18446744073709551615])");
    auto store = artifact::from_json(huge_shape);
    ASSERT_TRUE(store);
    EXPECT_TRUE(std::ranges::equal(samples::take(store->node(0)).metadata.shape(), Shape{~uint64_t{0}, ~uint64_t{0}}));
    const std::string empty_data =
        replaced(replaced(text, R"("shape":[2],"layout")", R"("shape":[4294967295,4294967295],"layout")"),
                 R"("data":"0000803f00000040")", R"("data":"")");
    EXPECT_EQ(read_failure(empty_data), std::string(kFailed) +
                                            "staged constant byte count overflows at line 1 column " +
                                            std::to_string(empty_data.size() - 2));
}

// Megabytes of openings stop at the first level the reader refuses, with
// no recursion and no memory to match the depth.
TEST(ArtifactHostileTest, TenMegabytesOfNesting) {
    constexpr size_t kBytes = 10u << 20;
    EXPECT_EQ(read_failure(std::string(kBytes, '[')),
              std::string(kFailed) + "invalid type: array, expected a graph artifact object at line 1 column 1");

    const std::string text = samples::small_text();
    const std::string attr = R"({"kind":"integer","value":1})";
    const size_t at = text.find(attr);
    for (const std::string_view level : {R"(["list",[)", R"({"kind":"map","value":{"k":)", R"({"value":[)"}) {
        std::string deep = text.substr(0, at);
        while (deep.size() < kBytes) deep += level;
        const std::string message = read_failure(deep);
        EXPECT_EQ(message.rfind(std::string(kFailed) + "recursion limit exceeded at line 1 column ", 0), 0u) << message;
    }
}

}  // namespace
}  // namespace vorlix
