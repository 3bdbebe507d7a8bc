// Walks and whole-graph queries built on the canonical walk order.
#pragma once

#include <span>
#include <utility>
#include <vector>

#include "graph.hpp"

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

// The connection list of the root's component; fails with the out-of-range message for
// a root that names no node.  `walked`, when given, receives the number of nodes of the
// component: every position in the pairs is below it.
std::vector<std::pair<std::uint64_t, std::uint64_t>> connections(const Graph& g,
                                                                 std::uint64_t* walked = nullptr);

}  // namespace quill
