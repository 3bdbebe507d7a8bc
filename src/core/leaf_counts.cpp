#include "leaf_counts.hpp"

namespace quill {

using u64 = std::uint64_t;

LeafCounts::LeafCounts(const Graph& g, Poll& poll)
    : g_(g), poll_(poll), flags_(g.size(), 0), rc_(g.size(), 0), indeg_(g.size(), 0),
      seen_(g.size()) {}

void LeafCounts::explore(NodeId root) {
    if (flags_[root] & kStateMask) return;
    struct Frame {
        NodeId node;
        EdgeCursor cur;
    };
    std::vector<Frame> stack;
    flags_[root] |= kOnStack;
    stack.push_back({root, {}});
    while (!stack.empty()) {
        poll_.step();
        Frame& top = stack.back();
        NodeId c;
        if (top.cur.next(g_, top.node, c, poll_)) {
            if (indeg_[c] < 2) ++indeg_[c];
            std::uint8_t st = flags_[c] & kStateMask;
            if (st == kOnStack) leaf_edge_cycle(c);
            if (st == 0) {
                flags_[c] |= kOnStack;
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
        poll_.step(1 + for_each_leaf_edge(g_, x, [&](NodeId c) {
            if (indeg_[c] >= 2 || (flags_[c] & kShared)) shared = true;
        }));
        if (shared) flags_[x] |= kShared;
    }
}

// Where nothing below a node is shared, every leaf below it is reached by exactly one
// path, so the distinct count equals the occurrence count.  Otherwise the search expands
// only the nodes with sharing below them: the leaves under an unshared node are reachable
// through that node alone, so adding its occurrence count once is exact.
u64 LeafCounts::count_unique_leaves(NodeId x) {
    if (!(flags_[x] & kShared)) return rc_[x];
    if (flags_[x] & kUniqueKnown) return unique_[x];
    if (unique_.empty()) unique_.assign(g_.size(), 0);
    seen_.clear();
    u64 total = 0;
    std::vector<NodeId> stack{x};
    while (!stack.empty()) {
        poll_.step();
        NodeId y = stack.back();
        stack.pop_back();
        if (seen_.contains(y)) continue;
        seen_.insert(y);
        if (!(flags_[y] & kShared))
            total += rc_[y];
        else
            poll_.step(for_each_leaf_edge(g_, y, [&](NodeId c) {
                if (!seen_.contains(c)) stack.push_back(c);
            }));
    }
    unique_[x] = total;
    flags_[x] |= kUniqueKnown;
    return total;
}

void LeafCounts::finish(NodeId x) {
    std::uint8_t f = (flags_[x] & ~kStateMask) | kDone;
    u64 sum = 0;
    if (g_.options(x).empty()) {
        sum = 1;
    } else {
        for_each_leaf_edge(g_, x, [&](NodeId c) {
            if (flags_[c] & kOverflow) f |= kOverflow;
            if (__builtin_add_overflow(sum, rc_[c], &sum)) f |= kOverflow;
        });
        if (f & kOverflow) sum = ~u64(0);  // saturated; the flag says "2^64 or more"
    }
    rc_[x] = sum;
    flags_[x] = f;
    post_.push_back(x);
}

}  // namespace quill
