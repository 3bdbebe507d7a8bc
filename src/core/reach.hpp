// Upward reachability: does a node lie below any node of a set?
#pragma once

#include <span>

#include "graph.hpp"

namespace quill {

bool is_below(const Graph& g, NodeId start, std::span<const NodeId> nodes, bool include_self,
              std::span<const NodeId> skip);

}  // namespace quill
