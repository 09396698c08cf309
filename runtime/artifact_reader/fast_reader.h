// The quick artifact reader: the canonical text, as the writer writes it,
// read straight into a store, declining everything else.
#pragma once

#include <optional>
#include <string_view>

#include "runtime/error.h"
#include "runtime/graph.h"

namespace vorlix::artifact::reader {

// Note [Two artifact readers]
// Every artifact is read by the strict reader's rules: its messages, their
// positions and the order of its checks are fixed, and it accepts any JSON
// spelling of a valid artifact. Most texts, though, are ones the writer
// wrote: members in their fixed order, no white space, no escapes. The
// quick reader reads exactly such texts, with the checks and rebuilding the
// strict reader shares (assembly.h), and declines at the first thing it
// does not expect or that fails a check, dropping what it built; the strict
// reader then reads the text from the start and reports what it must. So
// the quick reader decides no outcome: whatever it returns is the store the
// strict reader returns for the same text, which the artifact fuzzer checks.

// The store of a canonical, valid text, or nothing when the text is another
// spelling or invalid.
[[nodiscard]] std::optional<GraphStore> read_quickly(std::string_view text);

// The strict reader alone.
[[nodiscard]] Expected<GraphStore> read_strictly(std::string_view text);

}  // namespace vorlix::artifact::reader
