// Upward reachability: does a node lie below any node of a set?
#pragma once

#include <cstdint>
#include <span>

#include "graph.hpp"

namespace quill {

bool is_below(const Graph& g, NodeId start, std::span<const NodeId> nodes, bool include_self,
              std::span<const NodeId> skip);

// The same search without a skip list, for a target set whose members are all valid node
// ids, given as marks over the node list: id x is a target when marks[x] == stamp.  A
// caller that asks many questions about a growing set keeps the marks instead of handing
// over the whole set each time; its poll counts the work of every question.
bool is_below_marked(const Graph& g, NodeId start, std::span<const std::uint32_t> marks,
                     std::uint32_t stamp, bool include_self, Poll& poll);

}  // namespace quill
