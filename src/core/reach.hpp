// Upward reachability: does a node lie below any node of a set?
#pragma once

#include <cstdint>
#include <span>

#include "graph.hpp"
#include "id_sets.hpp"

namespace quill {

// How a climb treats the nodes it meets.
struct ClimbOptions {
    // Value nodes of the target set match (the start included); op nodes always do.
    bool include_self = true;
    // Nodes at which a climb stops without matching (ids are never range-checked).
    std::span<const NodeId> skip = {};
};

// Climbs from `start` along the upward links (an op's parent, a value's parents) and
// answers whether it meets a node of `nodes`.  Fails with the out-of-range message at an
// id met before the answer is known.
bool is_below(const Graph& g, NodeId start, std::span<const NodeId> nodes,
              ClimbOptions opts = {});

// The same search for a target set of node ids that the caller keeps: a caller that asks
// many questions about a growing set updates it instead of handing over the whole set
// each time; its poll counts the work of every question.
bool is_below(const Graph& g, NodeId start, const StampedSet& nodes, ClimbOptions opts,
              Poll& poll);

}  // namespace quill
