// Compacted copies of a graph's root component, and attaching one copy below another.
#pragma once

#include <optional>
#include <vector>

#include "graph.hpp"
#include "id_sets.hpp"

namespace quill {

// Correspondence between the ids of a source graph and those of its copy: `to_new` takes
// an old id to its new id (sparse while the copy holds a small share of the source, flat
// beyond); `to_old[new]` is the old id, in new-id order.
struct Corr {
    IdxMap to_new{0};
    std::vector<Idx> to_old;
    std::optional<NodeId> get(NodeId old) const {
        if (old >= to_new.bound()) return std::nullopt;
        const Idx m = to_new.get(old);
        if (m == kNone) return std::nullopt;
        return m;
    }
    // Calls f(old, new) for every pair in ascending order of old id while f returns true;
    // false when f stopped it.
    template <class F>
    bool for_each_ascending(F&& f) const {
        return to_new.for_each_ascending(
            [&](NodeId old, Idx now) { return f(old, NodeId(now)); });
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
// The graph of clone_subgraph(g) made through `numbering`, which must be the numbering
// clone_subgraph(g) makes (connection_hash hands it over when its walk found it).
Graph copy_numbered(const Graph& g, const Corr& numbering, Poll& poll);

struct Attached {
    Graph graph;
    std::vector<NodeId> attached_leaves;
    std::vector<NodeId> remaining_leaves;
};

// `g` and `elem` may be the same graph; neither is changed.
Attached clone_and_attach(const Graph& g, const Graph& elem, NodeId root_leaf_id);

}  // namespace quill
