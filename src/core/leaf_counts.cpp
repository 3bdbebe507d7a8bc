// The leaf counts of the condition analysis: exploration, sharing, distinct counts.
#include "leaf_counts.hpp"

#include "depth_first.hpp"

namespace quill {

using u64 = std::uint64_t;

LeafCounts::LeafCounts(const Graph& g, Poll& poll)
    : g_(g), poll_(poll), info_(g.size()), unique_(g.size()), seen_(g.size()) {}

void LeafCounts::explore(NodeId root) {
    if (info_.get(root).flags & kStateMask) return;
    struct Frame {
        NodeId node;
        EdgeCursor cursor;
    };
    std::vector<Frame> stack;
    info_.ref(root).flags |= kOnStack;
    stack.push_back({root, {}});
    while (!stack.empty()) {
        poll_.step();
        Frame& top = stack.back();
        NodeId child;
        if (top.cursor.next(g_, top.node, child, poll_)) {
            Info& child_info = info_.ref(child);
            if (child_info.in_edges < 2) ++child_info.in_edges;
            const std::uint8_t state = child_info.flags & kStateMask;
            if (state == kOnStack) leaf_edge_cycle(child);
            if (state == 0) {
                child_info.flags |= kOnStack;
                stack.push_back({child, {}});
            }
            continue;
        }
        NodeId x = top.node;
        stack.pop_back();
        finish(x);
    }
}

void LeafCounts::mark_shared() {
    for (NodeId x : post_) {
        bool shared = false;
        poll_.step();
        for_each_leaf_edge(g_, x, poll_, [&](NodeId child) {
            const Info child_info = info_.get(child);
            if (child_info.in_edges >= 2 || (child_info.flags & kShared)) shared = true;
        });
        if (shared) info_.ref(x).flags |= kShared;
    }
}

// Where nothing below a node is shared, every leaf below it is reached by exactly one
// path, so the distinct count equals the occurrence count.  Otherwise the search expands
// only the nodes with sharing below them: the leaves under an unshared node are reachable
// through that node alone, so adding its occurrence count once is exact.
u64 LeafCounts::count_unique_leaves(NodeId x) {
    const Info info = info_.get(x);
    if (!(info.flags & kShared)) return info.repeated_leaves;
    if (info.flags & kUniqueKnown) return unique_.get(x);
    seen_.clear();
    u64 total = 0;
    IdStack stack;
    stack.push_back(Idx(x));
    depth_first(
        stack, poll_, [&](Idx node) { return seen_.contains(node); },
        [&](Idx node) {
            seen_.insert(node);
            const Info node_info = info_.get(node);
            if (!(node_info.flags & kShared)) total += node_info.repeated_leaves;
        },
        [&](Idx node) {
            // Below an unshared node nothing is expanded: its count was added on entry.
            if (info_.get(node).flags & kShared)
                for_each_leaf_edge(g_, node, poll_, [&](NodeId child) {
                    if (!seen_.contains(child)) stack.push_back(Idx(child));
                });
            return std::size_t(0);  // for_each_leaf_edge polls as it goes
        },
        [] { return false; });
    unique_.set(x, total);
    info_.ref(x).flags |= kUniqueKnown;
    return total;
}

void LeafCounts::finish(NodeId x) {
    // Reading the entries below adds none, so the reference to x's entry stays valid.
    Info& info = info_.ref(x);
    std::uint8_t flags = (info.flags & ~kStateMask) | kDone;
    u64 sum = 0;
    if (g_.options(x).empty()) {
        sum = 1;
    } else {
        for_each_leaf_edge(g_, x, poll_, [&](NodeId child) {
            const Info child_info = info_.get(child);
            if (child_info.flags & kOverflow) flags |= kOverflow;
            if (__builtin_add_overflow(sum, child_info.repeated_leaves, &sum)) flags |= kOverflow;
        });
        if (flags & kOverflow) sum = ~u64(0);  // saturated; the flag says "2^64 or more"
    }
    info.repeated_leaves = sum;
    info.flags = flags;
    post_.push_back(x);
}

}  // namespace quill
