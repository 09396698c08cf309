// The graph artifact: a store's canonical JSON text, and the strict reader that rebuilds a store from one.
#pragma once

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
