// Compacted copies of a graph's root component, and attaching one copy below another.
#pragma once

#include <algorithm>
#include <optional>
#include <vector>

#include "graph.hpp"
#include "id_maps.hpp"

namespace quill {

// Correspondence between the ids of a source graph and those of its copy: `to_new` takes
// an old id to its new id (sparse while the copy holds a small share of the source, flat
// beyond); `to_old[new]` is the old id, in new-id order.
struct Corr {
    IdMap to_new{0};
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
        if (to_new.is_flat()) {
            const Idx* m = to_new.flat();
            for (std::uint64_t old = 0; old < to_new.bound(); ++old)
                if (m[old] != kNone && !f(NodeId(old), NodeId(m[old]))) return false;
            return true;
        }
        std::vector<Idx> olds(to_old);
        std::sort(olds.begin(), olds.end());
        for (Idx old : olds)
            if (!f(NodeId(old), NodeId(to_new.find(old)))) return false;
        return true;
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
