// Folding one value node into another.
#pragma once

#include "graph.hpp"

namespace quill {

// Which links of `other` move over to `keep`: `upper` its parents (the ops that take it
// as a child take `keep` instead), `lower` its options (they become options of `keep`).
struct MergeSides {
    bool upper = false;
    bool lower = false;
};

// Fails with the out-of-range message, leaving the graph as it was, for an `other` that
// names no node (when a side is moved) or a `keep` that names none (when there is
// something to move).
void merge_value_nodes(Graph& g, NodeId keep, NodeId other, MergeSides sides);

}  // namespace quill
