// Portable constants: validation order and messages, digest body and chunked hashing.
#include "runtime/constant.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <limits>

namespace vorlix {
namespace {

struct ValidationCase {
    const char* label;
    ConstantKind kind;
    NumericDType::Kind dtype;
    Shape shape;
    Bytes data;
    std::string message;  // empty when valid
};

class ConstantValidation : public ::testing::TestWithParam<ValidationCase> {};

TEST_P(ConstantValidation, AcceptsOrRefusesWithMessage) {
    const ValidationCase& c = GetParam();
    auto r = constant::validate_shape_and_bytes(c.kind, c.dtype, c.shape, c.data);
    if (c.message.empty()) {
        EXPECT_TRUE(r) << c.label << ": " << r.error();
    } else {
        ASSERT_FALSE(r) << c.label;
        EXPECT_EQ(r.error(), c.message) << c.label;
    }
}

constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();

INSTANTIATE_TEST_SUITE_P(
    Cases, ConstantValidation,
    ::testing::Values(
        ValidationCase{"scalar float64", ConstantKind::Scalar, NumericDType::Float64, {}, Bytes(8), ""},
        ValidationCase{"scalar with rank",
                       ConstantKind::Scalar,
                       NumericDType::Float64,
                       {1},
                       Bytes(8),
                       "a staged scalar constant must have rank zero"},
        ValidationCase{"rank checked before overflow",
                       ConstantKind::Scalar,
                       NumericDType::Int8,
                       {kMax, kMax},
                       {},
                       "a staged scalar constant must have rank zero"},
        ValidationCase{
            "rank-zero array holds one element", ConstantKind::Array, NumericDType::Complex128, {}, Bytes(16), ""},
        ValidationCase{"empty extent", ConstantKind::Array, NumericDType::Int32, {0, 5}, {}, ""},
        ValidationCase{"empty extent with data",
                       ConstantKind::Array,
                       NumericDType::Int32,
                       {0, 5},
                       Bytes(3),
                       "staged constant shape/dtype require 0 bytes; got 3"},
        ValidationCase{"short data",
                       ConstantKind::Array,
                       NumericDType::UInt16,
                       {2, 3},
                       Bytes(11),
                       "staged constant shape/dtype require 12 bytes; got 11"},
        ValidationCase{"shape overflow",
                       ConstantKind::Array,
                       NumericDType::Int8,
                       {uint64_t{1} << 32, uint64_t{1} << 32},
                       {},
                       "staged constant shape overflows"},
        ValidationCase{"zero extent after huge ones still overflows first",
                       ConstantKind::Array,
                       NumericDType::Int8,
                       {kMax, 2, 0},
                       {},
                       "staged constant shape overflows"},
        ValidationCase{"byte count overflow",
                       ConstantKind::Array,
                       NumericDType::Float64,
                       {uint64_t{1} << 62},
                       {},
                       "staged constant byte count overflows"},
        ValidationCase{"bool bytes", ConstantKind::Array, NumericDType::Bool, {3}, Bytes{0, 1, 1}, ""},
        ValidationCase{"bool byte 2",
                       ConstantKind::Array,
                       NumericDType::Bool,
                       {3},
                       Bytes{0, 2, 1},
                       "staged bool constant bytes must be exactly 0 or 1"},
        ValidationCase{"length checked before bool bytes",
                       ConstantKind::Array,
                       NumericDType::Bool,
                       {3},
                       Bytes{2, 2},
                       "staged constant shape/dtype require 3 bytes; got 2"},
        ValidationCase{
            "int8 bytes are not restricted", ConstantKind::Array, NumericDType::Int8, {2}, Bytes{0xff, 7}, ""}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

std::string sha256_hex(std::string_view text) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EXPECT_EQ(EVP_Digest(text.data(), text.size(), out, &size, EVP_sha256(), nullptr), 1);
    return hex::encode(std::span<const uint8_t>(out, size));
}

TEST(ConstantDigestTest, KnownBody) {
    auto d = constant::digest_body(ConstantKind::Array, NumericDType::Bool, std::vector<uint64_t>{1}, Bytes{1});
    ASSERT_TRUE(d);
    EXPECT_EQ(d->text(), "53231b2ec75e2648fee0ebba8b9f62d8d81c67d5dac7e35180ff3b1877046f21");
}

TEST(ConstantDigestTest, ChunkedHashingEqualsHashingTheWholeBody) {
    // Lengths around the chunk boundary, and several chunks with a tail.
    for (const size_t elements : {size_t{0}, size_t{1023}, size_t{1024}, size_t{1025}, size_t{5000}}) {
        Bytes data(elements * 4);
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 131 + 7);
        const std::string body = R"({"byte_order":"little","data":")" + hex::encode(data) +
                                 R"(","dtype":"float32","format":"vorlix.numeric-constant","kind":"array",)" +
                                 R"("layout":"C","shape":[1,)" + std::to_string(elements) + R"(],"version":2})";
        auto d = constant::digest_body(ConstantKind::Array, NumericDType::Float32, Shape{1, elements}, data);
        ASSERT_TRUE(d);
        EXPECT_EQ(d->text(), sha256_hex(body)) << elements;
    }
}

TEST(PortableConstantTest, CreateValidatesThenDigests) {
    auto scalar = PortableConstant::create(ConstantKind::Scalar, NumericDType::Float64, {}, Bytes(8, 0));
    auto array = PortableConstant::create(ConstantKind::Array, NumericDType::Float64, {}, Bytes(8, 0));
    ASSERT_TRUE(scalar);
    ASSERT_TRUE(array);
    EXPECT_EQ(scalar->digest().size(), 64u);
    EXPECT_NE(scalar->digest(), array->digest());
    EXPECT_EQ(scalar->kind(), ConstantKind::Scalar);
    EXPECT_EQ(scalar->dtype(), NumericDType::Float64);
    EXPECT_EQ(scalar->data().size(), 8u);
    auto recomputed = constant::digest_body(ConstantKind::Scalar, NumericDType::Float64, {}, scalar->data());
    EXPECT_EQ(recomputed->text(), scalar->digest());

    auto refused = PortableConstant::create(ConstantKind::Scalar, NumericDType::Float64, {1}, Bytes(8, 0));
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), "a staged scalar constant must have rank zero");
}

TEST(ConstantKindTest, NamesAndQuotedRefusal) {
    EXPECT_EQ(constant::kind_from_str("scalar").value(), ConstantKind::Scalar);
    EXPECT_EQ(constant::kind_from_str("array").value(), ConstantKind::Array);
    EXPECT_EQ(constant::kind_name(ConstantKind::Array), "array");
    auto refused = constant::kind_from_str("Scalar");
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), "unknown staged constant kind \"Scalar\"");
}

}  // namespace
}  // namespace vorlix
