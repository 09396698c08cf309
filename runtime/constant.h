// Portable constants: machine-independent constant payloads with their SHA-256 digests.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "runtime/dtype.h"
#include "runtime/error.h"
#include "runtime/hex.h"
#include "runtime/node.h"

namespace vorlix {

enum class ConstantKind : uint8_t { Scalar = 0, Array = 1 };

// The 64 lowercase hexadecimal digits of a SHA-256 digest.
struct Digest {
    std::array<char, 64> digits;

    [[nodiscard]] std::string_view text() const { return {digits.data(), digits.size()}; }
    friend bool operator==(const Digest&, const Digest&) = default;
};

namespace constant {

inline constexpr std::string_view kFormat = "vorlix.numeric-constant";
inline constexpr uint64_t kFormatVersion = 2;
inline constexpr std::string_view kLayout = "C";
inline constexpr std::string_view kByteOrder = "little";
// Data bytes hex-encoded and hashed per step while digesting.
inline constexpr size_t kDigestChunk = 4096;

// "scalar" or "array".
[[nodiscard]] std::string_view kind_name(ConstantKind kind);
// Refuses any other text with "unknown staged constant kind " and the text
// as a quoted literal.
[[nodiscard]] Expected<ConstantKind, std::string> kind_from_str(std::string_view text);

// Rank, element count and byte count overflow, data length, then bool bytes.
[[nodiscard]] Status<std::string> validate_shape_and_bytes(ConstantKind kind, NumericDType dtype,
                                                           std::span<const uint64_t> shape,
                                                           std::span<const uint8_t> data);

// The 64 lowercase hexadecimal digits of the SHA-256 of the canonical digest
// body. The data's hex text is produced and hashed in bounded chunks, never
// whole. Fails only when the digest implementation itself is unavailable.
[[nodiscard]] Expected<Digest, std::string> digest_body(ConstantKind kind, NumericDType dtype,
                                                        std::span<const uint64_t> shape, std::span<const uint8_t> data);
// `digest_body` of the data whose lowercase hex encoding is `data_hex`,
// which is hashed as it stands.
[[nodiscard]] Expected<Digest, std::string> digest_body_of_hex(ConstantKind kind, NumericDType dtype,
                                                               std::span<const uint64_t> shape,
                                                               std::string_view data_hex);

}  // namespace constant

// A constant payload: little-endian elements in row-major order, valid for
// its kind, dtype and shape, with the digest of exactly these fields.
// Immutable. Payloads can be large, so copies are not implicit.
class PortableConstant {
public:
    [[nodiscard]] static Expected<PortableConstant, std::string> create(ConstantKind kind, NumericDType dtype,
                                                                        Shape shape, Bytes data);
    // `create` for data read from its lowercase hex text `data_hex`, which
    // the digest hashes as it stands instead of encoding the data again.
    [[nodiscard]] static Expected<PortableConstant, std::string> create(ConstantKind kind, NumericDType dtype,
                                                                        Shape shape, Bytes data,
                                                                        std::string_view data_hex);

    PortableConstant(const PortableConstant&) = delete;
    PortableConstant& operator=(const PortableConstant&) = delete;
    PortableConstant(PortableConstant&&) noexcept = default;
    PortableConstant& operator=(PortableConstant&&) noexcept = default;

    [[nodiscard]] ConstantKind kind() const { return kind_; }
    [[nodiscard]] NumericDType dtype() const { return dtype_; }
    [[nodiscard]] const Shape& shape() const { return shape_; }
    [[nodiscard]] std::span<const uint8_t> data() const { return data_; }
    [[nodiscard]] std::string_view digest() const { return digest_.text(); }

private:
    [[nodiscard]] static Expected<PortableConstant, std::string> make(ConstantKind kind, NumericDType dtype,
                                                                      Shape shape, Bytes data,
                                                                      std::optional<std::string_view> data_hex);
    PortableConstant(ConstantKind kind, NumericDType dtype, Shape shape, Bytes data, Digest digest)
        : kind_(kind), dtype_(dtype), shape_(std::move(shape)), data_(std::move(data)), digest_(digest) {}

    ConstantKind kind_;
    NumericDType dtype_;
    Shape shape_;
    Bytes data_;
    Digest digest_;
};

}  // namespace vorlix
