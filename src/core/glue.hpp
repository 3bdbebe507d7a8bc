// The leaf gluing search.
#pragma once

#include <optional>
#include <vector>

#include "graph.hpp"

namespace quill {

struct GlueOptions {
    // Record a copy of the graph as it is and glue nothing.
    bool trees_only = false;
    // Record only the levels whose list of leaves is at most this long; the search below
    // the others goes on all the same.
    std::optional<std::uint64_t> max_leaves = std::nullopt;
};

// Returns the recorded graphs in recording order; `g` is only read.
std::vector<Graph> glue_leaves(const Graph& g, std::vector<NodeId> leaves,
                               std::vector<NodeId> candidates, GlueOptions opts = {});

}  // namespace quill
