// Leaf edges and the leaf counts of the condition analysis.
//
// The analysis follows "leaf edges": from a node to every child of every one of its
// options.  A node without options is a leaf.  The leaf sequence of a node lists the
// leaves met when every leaf edge is followed (a leaf reached along several paths is
// listed once per path).  Two counts describe a node: its leaf occurrence count (the
// length of that sequence) and its distinct leaf count (the number of distinct ids in it).
//
// Counts are memoised per node for the length of one call.  A cycle through leaf edges
// would make every count infinite; it is detected when the counts are explored and
// reported as LeafEdgeCycle naming a node on the cycle.
#pragma once

#include <cstdint>
#include <vector>

#include "graph.hpp"
#include "id_sets.hpp"

namespace quill {

// Cursor over the leaf edges of one node: (option index, child index within it).
struct EdgeCursor {
    std::uint32_t option = 0;  // index among the node's options
    std::uint32_t child = 0;   // index among that option's children

    // Stores the next leaf-edge target in `out`; false when the node has none left.  Each
    // option passed counts against `poll`, so that options without children are counted
    // too.
    bool next(const Graph& g, NodeId x, NodeId& out, Poll& poll) {
        const std::span<const Idx> options = g.options(x);
        while (option < options.size()) {
            const std::span<const Idx> children = g.children(options[option]);
            if (child < children.size()) {
                out = children[child++];
                return true;
            }
            poll.step();
            ++option;
            child = 0;
        }
        return false;
    }
};

// Calls f(child) for every leaf edge of `x`, in order, counting each option and each
// child against `poll` as it goes: a node with millions of options, or an option with
// millions of children, is checked within.
template <class F>
void for_each_leaf_edge(const Graph& g, NodeId x, Poll& poll, F&& f) {
    for (Idx o : g.options(x)) {
        const std::span<const Idx> children = g.children(o);
        poll.step(1 + poll.scan(children.size(), [&](std::size_t i) { f(NodeId(children[i])); }));
    }
}

// Per-call memo of leaf counts over the part of the graph reached by leaf edges.
class LeafCounts {
public:
    LeafCounts(const Graph& g, Poll& poll);

    // Counts every node reachable from `root` by leaf edges (root included) that was not
    // counted before.  Fails with LeafEdgeCycle when a leaf edge closes a cycle.
    void explore(NodeId root);
    // Marks the nodes below which some node is shared.  Valid for searches that stay
    // inside the part explored so far; call after the explorations it should cover.
    void mark_shared();

    bool overflowed(NodeId x) const { return info_.get(x).flags & kOverflow; }
    // Whether the leaf sequence of `x`, placed at `base`, holds position `pos` >= base.
    bool covers(NodeId x, std::uint64_t base, std::uint64_t pos) const {
        const Info info = info_.get(x);
        return (info.flags & kOverflow) || pos - base < info.repeated_leaves;
    }
    // Leaf occurrence count of an explored node (meaningless when overflowed).
    std::uint64_t count_repeated_leaves(NodeId x) const { return info_.get(x).repeated_leaves; }
    // Number of distinct leaves in the leaf sequence of an explored node.
    std::uint64_t count_unique_leaves(NodeId x);

private:
    // Bits of Info::flags.  The exploration state (on the stack, done, or neither: not
    // met yet) takes the low two bits, read together through kStateMask; each fact
    // after it a bit of its own.
    enum : std::uint8_t {
        kOnStack = 1,
        kDone = 2,
        kStateMask = 3,
        kOverflow = 4,      // occurrence count exceeds 64 bits
        kShared = 8,        // some node strictly below is reached by two or more leaf edges
        kUniqueKnown = 16,  // unique_ holds the node's distinct leaf count
    };
    // What is known of a node met by the explorations; packed, which keeps the flat form
    // at ten bytes a node.
    struct [[gnu::packed]] Info {
        std::uint64_t repeated_leaves = 0;  // leaf occurrence count
        std::uint8_t flags = 0;
        // Incoming leaf edges, saturating at 2: sharing asks only "more than one".
        std::uint8_t in_edges = 0;
    };

    const Graph& g_;
    Poll& poll_;
    NodeMap<Info> info_;
    std::vector<NodeId> post_;         // explored nodes, each after everything below it
    NodeMap<std::uint64_t> unique_;
    StampedSet seen_;  // nodes met by the current count_unique_leaves

    void finish(NodeId x);
};

}  // namespace quill
