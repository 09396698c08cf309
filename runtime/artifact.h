// The graph artifact: a store's canonical JSON text, and the strict reader that rebuilds a store from one.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "runtime/error.h"
#include "runtime/graph.h"

namespace vorlix::artifact {

// Note [Artifact errors]
// Both directions fail with one complete text and nothing else: the
// returned GraphError never carries a node, because any node a failure
// concerns is already rendered into its message (" at node %N"). Callers
// raise `message` as it stands.

// The canonical text of `store`: compact, members in their fixed orders,
// constants keyed by node ID in byte-wise key order, strings escaped only
// where JSON requires it (control characters as lowercase \u00xx). Equal
// stores give equal texts. Refuses, with "graph serialization failed: ...",
// to write a text the reader would refuse for its shape alone: attributes
// nested beyond the reader's depth limit, or text that is not UTF-8.
[[nodiscard]] Expected<std::string> to_json(const GraphStore& store);

// The memory `write_json` writes the text into, owned by the caller, so that
// a large text can be written once, straight into the object that will hold
// it, instead of being built aside and copied over.
class TextSink {
public:
    virtual ~TextSink() = default;
    // A buffer of at least `capacity` bytes whose first `kept` bytes equal
    // the first `kept` bytes of the previous buffer (there are none at the
    // first call); nullptr when no memory is available. The previous buffer
    // is not used again.
    [[nodiscard]] virtual char* grow(size_t kept, size_t capacity) = 0;
};

struct WrittenText {
    // Bytes written at the start of the sink's last buffer.
    size_t size;
    // No byte is 0x80 or above.
    bool ascii;
};

// `to_json` into `sink`: the same text, the same refusals. A refusal may
// leave any bytes in the sink.
[[nodiscard]] Expected<WrittenText> write_json(const GraphStore& store, TextSink& sink);

// Rebuilds a store from an artifact written by anyone. Checks run in a fixed
// order: the whole text parses into the wire form, with each constant's
// description, payload and digest checked as it is read ("graph
// deserialization failed: ... at line L column C"); then the header; then
// the nodes, rebuilt in array order through the arena and metadata checks;
// then the constant keys; then the Array API version; finally the store's
// own validation. The text is only read; no copy of it, and no tree of its
// values, is made along the way.
[[nodiscard]] Expected<GraphStore> from_json(std::string_view text);

}  // namespace vorlix::artifact
