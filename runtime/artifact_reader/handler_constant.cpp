// The strict reader's constants: the payload decoded as it is read, and the checks as the object closes.
#include "runtime/artifact_reader/handler.h"

#include <utility>

#include "runtime/hex.h"

namespace vorlix::artifact::reader {

void ArtifactHandler::constant_data(std::string_view hex_text) {
    auto bytes = hex::decode(hex_text);
    if (bytes) {
        constant_.data = std::move(*bytes);
    } else {
        constant_.data_error = "staged constant data " + std::move(bytes).error();
    }
}

bool ArtifactHandler::finish_constant(const std::string& key) {
    ConstantDraft& c = constant_;
    auto built = check_constant(ConstantText{.format = c.format,
                                             .version = c.version,
                                             .kind = c.kind,
                                             .dtype = c.dtype,
                                             .shape = std::move(c.shape),
                                             .layout = c.layout,
                                             .byte_order = c.byte_order,
                                             .data = std::move(c.data),
                                             .data_error = std::move(c.data_error),
                                             .data_hex = std::nullopt,
                                             .digest = c.digest});
    if (!built) return fail(std::move(built).error());
    constants_.insert_or_assign(key, std::move(*built));
    return true;
}

}  // namespace vorlix::artifact::reader
