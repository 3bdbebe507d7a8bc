// Cross sections of a target leaf.
#pragma once

#include <span>
#include <utility>
#include <vector>

#include "graph.hpp"

namespace quill {

using Cut = std::pair<std::vector<NodeId>, std::uint64_t>;  // members, height

std::vector<Cut> cross_sections_internal(const Graph& g, NodeId target_leaf,
                                         std::span<const NodeId> leaves);

}  // namespace quill
