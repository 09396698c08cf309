// The views of one node of a graph store that lookups hand out, and the owned
// copy of a node that outlives its store.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "runtime/arena.h"
#include "runtime/metadata_table.h"
#include "runtime/node.h"

namespace vorlix {

// A borrowed view of one node of a graph store: valid while the store lives.
struct NodeRef {
    Parents parents;
    const OpSchema& schema;
    MetadataView metadata;
    NodeId id;
};

// An owned copy of a node, independent of the store it came from.
struct NodeRecord {
    std::string op;
    std::vector<NodeId> parents;
    NodeMetadata metadata;
    NodeId id;
    uint32_t schema_version;

    [[nodiscard]] static NodeRecord from(const NodeRef& node);
};

// An owned copy of a node's metadata.
[[nodiscard]] NodeMetadata to_owned(const MetadataView& metadata);

}  // namespace vorlix
