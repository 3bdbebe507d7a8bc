// Walks and whole-graph queries built on the canonical walk order.
#pragma once

#include <utility>
#include <vector>

#include "graph.hpp"
#include "id_sets.hpp"

namespace quill {

// The links a walk follows: `above` an op's parent and a value's parents, `below` an op's
// children and a value's options.
struct Directions {
    bool above = true;
    bool below = true;
};

// Depth-first pre-order from `start` following the enabled directions: from an op node its
// children (first child first) and then its parent; from a value node its parents (first
// first) and then its options.  Each node once, recorded at its first pop.  Fails with the
// out-of-range message at the first id that names no node.
std::vector<NodeId> walk(const Graph& g, NodeId start, Directions dirs = {});

// Value nodes without options met on the downward walk from the root, in walk order.
// Empty when the root names no node.
std::vector<NodeId> leaves(const Graph& g);
// The same, counting its work against a running call's poll.
std::vector<NodeId> leaves(const Graph& g, Poll& poll);

// Calls f(m) for each entry of a node's options, parents, parent (when set) and
// children, in that order, repeats kept.  `id` must be valid.
template <class F>
void for_each_neighbor(const Graph& g, NodeId id, F&& f) {
    for (Idx m : g.options(id)) f(NodeId(m));
    for (Idx m : g.parents(id)) f(NodeId(m));
    if (Idx p = g.parent(id); p != kNone) f(NodeId(p));
    for (Idx m : g.children(id)) f(NodeId(m));
}

std::vector<NodeId> neighbors(const Graph& g, NodeId id);

// The walk order from the root (both directions) together with each walked node's
// position (kNone for nodes not walked), in a map that is sparse while the walk has met
// a small share of the graph.
struct WalkPositions {
    std::vector<NodeId> order;
    IdxMap position{0};
};
WalkPositions walk_positions(const Graph& g, Poll& poll);

// Calls f(from_position, to_position) for each connection pair in canonical order.  The
// links read here are those the walk has just scanned and counted, so each node counts
// one unit.
template <class F>
void for_each_connection(const Graph& g, const WalkPositions& wp, Poll& poll, F&& f) {
    auto run = [&](auto&& position_of) {
        for (std::size_t i = 0; i < wp.order.size(); ++i) {
            poll.step();
            for_each_neighbor(g, wp.order[i], [&](NodeId m) {
                const Idx pos = position_of(m);
                if (pos != kNone) f(std::uint64_t(i), std::uint64_t(pos));
            });
        }
    };
    if (wp.position.is_flat()) {
        const Idx* flat = wp.position.flat();
        run([flat](NodeId m) { return flat[m]; });
    } else {
        run([&wp](NodeId m) { return wp.position.get(m); });
    }
}

// The connection list of the root's component; fails with the out-of-range message for
// a root that names no node.
std::vector<std::pair<std::uint64_t, std::uint64_t>> connections(const Graph& g);

}  // namespace quill
