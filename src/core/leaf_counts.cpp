#include "leaf_counts.hpp"

namespace quill {

using u64 = std::uint64_t;

LeafCounts::LeafCounts(const Graph& g, Poll& poll)
    : g_(g), poll_(poll), info_(g.size()), unique_(g.size()), seen_(g.size()) {}

void LeafCounts::explore(NodeId root) {
    if (info_.get(root).flags & kStateMask) return;
    struct Frame {
        NodeId node;
        EdgeCursor cur;
    };
    std::vector<Frame> stack;
    info_.ref(root).flags |= kOnStack;
    stack.push_back({root, {}});
    while (!stack.empty()) {
        poll_.step();
        Frame& top = stack.back();
        NodeId c;
        if (top.cur.next(g_, top.node, c, poll_)) {
            Info& ic = info_.ref(c);
            if (ic.indeg < 2) ++ic.indeg;
            const std::uint8_t st = ic.flags & kStateMask;
            if (st == kOnStack) leaf_edge_cycle(c);
            if (st == 0) {
                ic.flags |= kOnStack;
                stack.push_back({c, {}});
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
        for_each_leaf_edge(g_, x, poll_, [&](NodeId c) {
            const Info ic = info_.get(c);
            if (ic.indeg >= 2 || (ic.flags & kShared)) shared = true;
        });
        if (shared) info_.ref(x).flags |= kShared;
    }
}

// Where nothing below a node is shared, every leaf below it is reached by exactly one
// path, so the distinct count equals the occurrence count.  Otherwise the search expands
// only the nodes with sharing below them: the leaves under an unshared node are reachable
// through that node alone, so adding its occurrence count once is exact.
u64 LeafCounts::count_unique_leaves(NodeId x) {
    const Info ix = info_.get(x);
    if (!(ix.flags & kShared)) return ix.rc;
    if (ix.flags & kUniqueKnown) return unique_.get(x);
    seen_.clear();
    u64 total = 0;
    std::vector<NodeId> stack{x};
    while (!stack.empty()) {
        poll_.step();
        NodeId y = stack.back();
        stack.pop_back();
        if (seen_.contains(y)) continue;
        seen_.insert(y);
        const Info iy = info_.get(y);
        if (!(iy.flags & kShared))
            total += iy.rc;
        else
            for_each_leaf_edge(g_, y, poll_, [&](NodeId c) {
                if (!seen_.contains(c)) stack.push_back(c);
            });
    }
    unique_.set(x, total);
    info_.ref(x).flags |= kUniqueKnown;
    return total;
}

void LeafCounts::finish(NodeId x) {
    // Reading the entries below adds none, so the reference to x's entry stays valid.
    Info& ix = info_.ref(x);
    std::uint8_t f = (ix.flags & ~kStateMask) | kDone;
    u64 sum = 0;
    if (g_.options(x).empty()) {
        sum = 1;
    } else {
        for_each_leaf_edge(g_, x, poll_, [&](NodeId c) {
            const Info ic = info_.get(c);
            if (ic.flags & kOverflow) f |= kOverflow;
            if (__builtin_add_overflow(sum, ic.rc, &sum)) f |= kOverflow;
        });
        if (f & kOverflow) sum = ~u64(0);  // saturated; the flag says "2^64 or more"
    }
    ix.rc = sum;
    ix.flags = f;
    post_.push_back(x);
}

}  // namespace quill
