// Validation and streamed digesting of portable constants.
#include "runtime/constant.h"

#include <openssl/evp.h>

#include <array>
#include <memory>

#include "runtime/quote.h"

namespace vorlix {

namespace {

[[gnu::cold, gnu::noinline]] std::string unknown_kind(std::string_view text) {
    std::string message = "unknown staged constant kind ";
    quote::append_literal(message, text);
    return message;
}

[[gnu::cold, gnu::noinline]] std::string byte_count_mismatch(uint64_t required, size_t actual) {
    return "staged constant shape/dtype require " + std::to_string(required) + " bytes; got " + std::to_string(actual);
}

struct DigestContextFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

// Feeds the digest body to SHA-256 piece by piece; any failure of the
// digest implementation sticks and is reported once at the end.
class BodyHasher {
public:
    BodyHasher() : ctx_(EVP_MD_CTX_new()) {
        ok_ = ctx_ != nullptr && EVP_DigestInit_ex(ctx_.get(), EVP_sha256(), nullptr) == 1;
    }

    void text(std::string_view piece) {
        if (ok_) ok_ = EVP_DigestUpdate(ctx_.get(), piece.data(), piece.size()) == 1;
    }

    void hex_data(std::span<const uint8_t> data) {
        std::array<char, 2 * constant::kDigestChunk> buffer;
        for (size_t offset = 0; offset < data.size() && ok_; offset += constant::kDigestChunk) {
            const std::span<const uint8_t> chunk =
                data.subspan(offset, std::min(constant::kDigestChunk, data.size() - offset));
            hex::encode_to(chunk, buffer.data());
            text(std::string_view(buffer.data(), 2 * chunk.size()));
        }
    }

    [[nodiscard]] Expected<Digest, std::string> finish() {
        std::array<uint8_t, EVP_MAX_MD_SIZE> hash;
        unsigned int size = 0;
        if (!ok_ || EVP_DigestFinal_ex(ctx_.get(), hash.data(), &size) != 1 || size != 32) {
            return std::string("SHA-256 digest is unavailable");
        }
        Digest digest;
        hex::encode_to(std::span<const uint8_t>(hash.data(), size), digest.digits.data());
        return digest;
    }

private:
    std::unique_ptr<EVP_MD_CTX, DigestContextFree> ctx_;
    bool ok_ = false;
};

}  // namespace

namespace constant {

std::string_view kind_name(ConstantKind kind) { return kind == ConstantKind::Scalar ? "scalar" : "array"; }

Expected<ConstantKind, std::string> kind_from_str(std::string_view text) {
    if (text == "scalar") return ConstantKind::Scalar;
    if (text == "array") return ConstantKind::Array;
    return unknown_kind(text);
}

Status<std::string> validate_shape_and_bytes(ConstantKind kind, NumericDType dtype, std::span<const uint64_t> shape,
                                             std::span<const uint8_t> data) {
    if (kind == ConstantKind::Scalar && !shape.empty()) {
        return std::string("a staged scalar constant must have rank zero");
    }
    uint64_t elements = 1;
    for (const uint64_t extent : shape) {
        if (__builtin_mul_overflow(elements, extent, &elements)) return std::string("staged constant shape overflows");
    }
    uint64_t byte_count = 0;
    if (__builtin_mul_overflow(elements, uint64_t{dtype.size()}, &byte_count)) {
        return std::string("staged constant byte count overflows");
    }
    if (data.size() != byte_count) return byte_count_mismatch(byte_count, data.size());
    if (dtype == NumericDType::Bool) {
        for (const uint8_t b : data) {
            if (b > 1) return std::string("staged bool constant bytes must be exactly 0 or 1");
        }
    }
    return Status<std::string>::ok();
}

namespace {

// The digest body around its data, which `data` feeds to the hasher.
template <class Data>
Expected<Digest, std::string> digest_around(ConstantKind kind, NumericDType dtype, std::span<const uint64_t> shape,
                                            Data&& data) {
    BodyHasher body;
    body.text(R"({"byte_order":"little","data":")");
    data(body);
    std::string tail = R"(","dtype":")";
    tail += dtype.name();
    tail += R"(","format":"vorlix.numeric-constant","kind":")";
    tail += kind_name(kind);
    tail += R"(","layout":"C","shape":[)";
    for (size_t i = 0; i < shape.size(); ++i) {
        if (i != 0) tail += ',';
        tail += std::to_string(shape[i]);
    }
    tail += R"(],"version":2})";
    body.text(tail);
    return body.finish();
}

}  // namespace

Expected<Digest, std::string> digest_body(ConstantKind kind, NumericDType dtype, std::span<const uint64_t> shape,
                                          std::span<const uint8_t> data) {
    return digest_around(kind, dtype, shape, [&](BodyHasher& body) { body.hex_data(data); });
}

Expected<Digest, std::string> digest_body_of_hex(ConstantKind kind, NumericDType dtype, std::span<const uint64_t> shape,
                                                 std::string_view data_hex) {
    return digest_around(kind, dtype, shape, [&](BodyHasher& body) { body.text(data_hex); });
}

}  // namespace constant

Expected<PortableConstant, std::string> PortableConstant::create(ConstantKind kind, NumericDType dtype, Shape shape,
                                                                 Bytes data) {
    return make(kind, dtype, std::move(shape), std::move(data), std::nullopt);
}

Expected<PortableConstant, std::string> PortableConstant::create(ConstantKind kind, NumericDType dtype, Shape shape,
                                                                 Bytes data, std::string_view data_hex) {
    return make(kind, dtype, std::move(shape), std::move(data), data_hex);
}

Expected<PortableConstant, std::string> PortableConstant::make(ConstantKind kind, NumericDType dtype, Shape shape,
                                                               Bytes data, std::optional<std::string_view> data_hex) {
    if (auto valid = constant::validate_shape_and_bytes(kind, dtype, shape, data); !valid) {
        return std::move(valid).error();
    }
    auto digest = data_hex ? constant::digest_body_of_hex(kind, dtype, shape, *data_hex)
                           : constant::digest_body(kind, dtype, shape, data);
    if (!digest) return std::move(digest).error();
    return PortableConstant(kind, dtype, std::move(shape), std::move(data), *digest);
}

}  // namespace vorlix
