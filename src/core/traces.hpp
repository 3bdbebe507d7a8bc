// Trace enumeration: every dead-end path from a node in the enabled directions.
#pragma once

#include <vector>

#include "graph.hpp"

namespace quill {

std::vector<std::vector<NodeId>> traces(const Graph& g, NodeId start, bool me_too,
                                        bool op_nodes, bool val_nodes, bool above,
                                        bool below);

}  // namespace quill
