// The leaf gluing search.
#pragma once

#include <optional>
#include <vector>

#include "graph.hpp"

namespace quill {

// Returns the recorded graphs in recording order; `g` is only read.
std::vector<Graph> glue_leaves(const Graph& g, std::vector<NodeId> leaves,
                               std::vector<NodeId> candidates, bool trees_only,
                               std::optional<std::uint64_t> max_leaves);

}  // namespace quill
