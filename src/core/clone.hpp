// Compacted copies of a graph's root component, and attaching one copy below another.
#pragma once

#include <optional>
#include <vector>

#include "graph.hpp"

namespace quill {

// Correspondence between the ids of a source graph and those of its copy, kept in flat
// arrays: `to_new[old]` is the new id or kNone; `to_old[new]` is the old id, in new-id
// order.
struct Corr {
    std::vector<Idx> to_new;
    std::vector<Idx> to_old;
    std::optional<NodeId> get(NodeId old) const {
        if (old >= to_new.size() || to_new[old] == kNone) return std::nullopt;
        return to_new[old];
    }
};

struct Clone {
    Graph graph;
    Corr corr;
};

// Fails with "Cannot clone_subgraph: Graph has no valid root_id set" when the root names
// no node.
Clone clone_subgraph(const Graph& g);
// The same, reporting its work to a running search's poll.
Clone clone_subgraph(const Graph& g, Poll& poll);

struct Attached {
    Graph graph;
    std::vector<NodeId> attached_leaves;
    std::vector<NodeId> remaining_leaves;
};

// `g` and `elem` may be the same graph; neither is changed.
Attached clone_and_attach(const Graph& g, const Graph& elem, NodeId root_leaf_id);

}  // namespace quill
