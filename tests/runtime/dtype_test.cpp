// Dtype descriptors: trimming, namespace stripping, aliases, validation; numeric dtypes.
#include "runtime/dtype.h"

#include <gtest/gtest.h>

#include <string>

namespace vorlix {
namespace {

struct Resolution {
    std::string text;
    std::string canonical;
    std::string name;
};

class DTypeResolves : public ::testing::TestWithParam<Resolution> {};

TEST_P(DTypeResolves, ToCanonicalAndName) {
    const Resolution& c = GetParam();
    auto d = DTypeDescriptor::from_name(c.text);
    ASSERT_TRUE(d) << d.error().message;
    EXPECT_EQ(d->canonical(), c.canonical);
    EXPECT_EQ(d->name(), c.name);
}

INSTANTIATE_TEST_SUITE_P(
    Names, DTypeResolves,
    ::testing::Values(
        Resolution{"  float \t", "float64", "float"}, Resolution{"numpy.int", "int64", "int"},
        Resolution{"cupy.complex", "complex128", "complex"}, Resolution{"array_api_strict.bool_", "bool", "bool_"},
        Resolution{"numpy.", "numpy.", "numpy."}, Resolution{"numpy.linalg.x", "numpy.linalg.x", "numpy.linalg.x"},
        Resolution{"cupy.numpy.float32", "cupy.numpy.float32", "cupy.numpy.float32"},
        Resolution{" numpy.float ", "float64", "float"},
        // White space behind a stripped prefix is trimmed too, so
        // that the name reads back unchanged from an artifact.
        Resolution{"numpy.\tfloat", "float64", "float"}, Resolution{"cupy.\u3000int8 ", "int8", "int8"},
        Resolution{"intc", "intc", "intc"}, Resolution{"Float", "Float", "Float"}, Resolution{">f4", ">f4", ">f4"},
        Resolution{"\u00a0float32\u3000", "float32", "float32"},
        Resolution{"\u2028half\u0085\u2009", "float16", "half"}, Resolution{"\v\fushort\r\n", "uint16", "ushort"},
        // A zero-width space is not white space.
        Resolution{"float\u200b", "float\u200b", "float\u200b"}, Resolution{"numpy.float64", "float64", "float64"}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

struct Refusal {
    std::string text;
    std::string message;
};

class DTypeRefuses : public ::testing::TestWithParam<Refusal> {};

TEST_P(DTypeRefuses, WithMessageAndNoNode) {
    auto d = DTypeDescriptor::from_name(GetParam().text);
    ASSERT_FALSE(d);
    EXPECT_EQ(d.error().message, GetParam().message);
    EXPECT_FALSE(d.error().node.has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Texts, DTypeRefuses,
    ::testing::Values(Refusal{"", "dtype descriptor must not be empty"},
                      Refusal{"   ", "dtype descriptor must not be empty"},
                      Refusal{"\t\u3000\u00a0", "dtype descriptor must not be empty"},
                      Refusal{std::string("flo\0at", 6), "dtype descriptor must not contain NUL characters"},
                      Refusal{std::string("numpy.\0", 7), "dtype descriptor must not contain NUL characters"}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

TEST(DTypeValidateTest, EmptinessIsCheckedBeforeNul) {
    const std::string nul("a\0", 2);
    auto empty_first = dtype::validate("", nul);
    ASSERT_FALSE(empty_first);
    EXPECT_EQ(empty_first.error().message, "dtype descriptor must not be empty");
    auto nul_in_name = dtype::validate("x", nul);
    ASSERT_FALSE(nul_in_name);
    EXPECT_EQ(nul_in_name.error().message, "dtype descriptor must not contain NUL characters");
    EXPECT_TRUE(dtype::validate("x", "y"));
}

TEST(DTypeDescriptorTest, EqualityComparesBothTexts) {
    EXPECT_NE(*DTypeDescriptor::from_name("float"), *DTypeDescriptor::from_name("float64"));
    EXPECT_EQ(*DTypeDescriptor::from_name("numpy.float64"), *DTypeDescriptor::from_name("float64"));
    EXPECT_EQ(*DTypeDescriptor::from_name(" double"), *DTypeDescriptor::from_name("cupy.double"));
}

TEST(NumericDTypeTest, PositionsAndSizes) {
    const auto f64 = NumericDType::from_str("float64");
    ASSERT_TRUE(f64);
    EXPECT_EQ(f64->index(), 11u);
    EXPECT_EQ(f64->size(), 8u);
    EXPECT_EQ(NumericDType::from_str("complex128")->size(), 16u);
    EXPECT_EQ(NumericDType::from_str("uint8")->index(), 5u);
    for (size_t i = 0; i < NumericDType::kCount; ++i) {
        const NumericDType d = *NumericDType::from_index(i);
        EXPECT_EQ(NumericDType::from_str(d.name()).value(), d);
    }
    EXPECT_FALSE(NumericDType::from_index(NumericDType::kCount).has_value());
}

TEST(NumericDTypeTest, RefusesAliasesAndUntrimmedTextWithQuotedLiteral) {
    const std::pair<std::string, std::string> cases[] = {
        {"float", "unsupported staged constant dtype \"float\""},
        {" float64", "unsupported staged constant dtype \" float64\""},
        {"Float64", "unsupported staged constant dtype \"Float64\""},
        {"a\"b\\\n", "unsupported staged constant dtype \"a\\\"b\\\\\\n\""},
    };
    for (const auto& [text, message] : cases) {
        auto d = NumericDType::from_str(text);
        ASSERT_FALSE(d) << text;
        EXPECT_EQ(d.error(), message);
    }
}

}  // namespace
}  // namespace vorlix
