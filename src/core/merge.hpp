// Folding one value node into another.
#pragma once

#include "graph.hpp"

namespace quill {

void merge_value_nodes(Graph& g, NodeId keep, NodeId other, bool upper, bool lower);

}  // namespace quill
