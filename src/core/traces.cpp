// Trace enumeration: every dead-end path from a node in the enabled directions.
//
// `TraceSearch` is a depth-first search that, at each node, follows the entries of the
// node's neighbour list that pass the direction filter.  It runs on an explicit stack so
// that a path of a million nodes needs no native recursion; each frame keeps a cursor
// over its node's kept entries, which makes the visiting order that of the recursion.
#include "traces.hpp"

#include <vector>

#include "id_sets.hpp"

namespace quill {

namespace {

// A node on the current path.  Its kept entries sit in the shared arena between the
// previous frame's `end` (0 for the first frame) and its own `end`.
struct Frame {
    std::size_t cursor;  // next kept entry to visit
    std::size_t end;     // one past its last kept entry
    Idx node;
    bool recorded;       // whether the node stands in the recorded path
};

class TraceSearch {
public:
    TraceSearch(const Graph& g, TraceOptions opts, Poll& poll)
        : g_(g), node_count_(g.size()), me_too_(opts.me_too), op_nodes_(opts.op_nodes),
          val_nodes_(opts.val_nodes), above_(opts.above), below_(opts.below),
          state_(node_count_), in_below_list_(node_count_), in_above_list_(node_count_),
          poll_(poll) {}

    Traces run(NodeId start) {
        enter(start);
        while (!stack_.empty()) {
            Frame& top = stack_.back();
            if (top.cursor < top.end) {
                const Idx next = kept_[top.cursor++];
                enter(next);
            } else {
                leave(top);
                stack_.pop_back();
                kept_.truncate(stack_.empty() ? 0 : stack_.back().end);
            }
        }
        return std::move(result_);
    }

private:
    // The lists of a node's neighbour list, in its order.
    struct Neighbours {
        std::span<const Idx> options;
        std::span<const Idx> parents;
        Idx parent;
        std::span<const Idx> children;

        std::size_t list_entries() const {
            return options.size() + parents.size() + children.size();
        }
    };

    const Graph& g_;
    const std::uint64_t node_count_;
    const bool me_too_, op_nodes_, val_nodes_, above_, below_;
    // Per node: whether it is on the current path (kOnPath), and in the low bits whether
    // any entry outside the followed lists passed the filter when the node was first
    // entered (kUnknown before that).  The kept entries depend only on the node, so later
    // visits of a node where none did copy the followed lists straight away instead of
    // testing every entry of its other lists again; a top value with many options, met
    // once per trace, then costs only what it contributes.  One map for both, so that
    // entering a node looks it up once: the two cross states take the low two bits
    // (kCrossMask), the path bit the next one.
    enum : std::uint8_t { kUnknown = 0, kNoCross = 1, kCross = 2, kCrossMask = 3, kOnPath = 4 };
    ScratchBytes state_;
    // The path, the frames and the kept entries of a search up to 64 levels deep live in
    // the object: a search of a handful of nodes, or up from a leaf of a tree of a
    // thousand million nodes, takes no allocation but its result (4 KiB on the stack).
    static constexpr std::size_t kInlineDepth = 64;
    InlineVector<NodeId, kInlineDepth> path_;
    Traces result_;
    InlineVector<Frame, kInlineDepth> stack_;
    InlineVector<Idx, kInlineDepth> kept_;  // kept entries of all frames on the stack, in stack order
    // Membership in the lists the filter follows: a value's options, or an op's
    // children (below), and a value's parents (above).
    ListMembership in_below_list_, in_above_list_;
    Poll& poll_;

    // One step of the search: enters `node`, records a trace at a dead end, or pushes a
    // frame whose kept entries the main loop then visits in order.
    void enter(NodeId node) {
        poll_.step();
        // An id beyond the node list can never be on the path: it fails as soon as it
        // is met.
        if (node >= node_count_) out_of_range(node_count_, node);
        // Nothing below adds to state_, so the reference stays valid.
        std::uint8_t& node_state = state_.ref(node);
        if (node_state & kOnPath) return;
        const bool op = g_.is_op(node);
        const bool recorded = me_too_ && (op ? op_nodes_ : val_nodes_);
        if (recorded) path_.push_back(node);

        const std::size_t begin = kept_.size();
        std::uint8_t cross = node_state & kCrossMask;
        poll_.step(op ? collect_from_op(node, cross) : collect_from_value(node, cross));
        const Frame frame{begin, kept_.size(), Idx(node), recorded};
        if (frame.cursor == frame.end) {  // a dead end: entered and left at once
            node_state = cross;
            record_trace(recorded);
            return;
        }
        node_state = kOnPath | cross;
        stack_.push_back(frame);
    }

    // A dead end: the path as it stands is a trace; the node just entered leaves it.
    void record_trace(bool recorded) {
        poll_.step(path_.size());  // the copy of the path
        result_.push_back(path_);
        if (recorded) path_.pop_back();
    }

    void leave(const Frame& frame) {
        state_.ref(frame.node) &= std::uint8_t(~kOnPath);
        if (frame.recorded) path_.pop_back();
    }

    // collect_from_value and collect_from_op append to kept_ the entries of the node's
    // neighbour list (options, parents, parent, children) that pass the direction
    // filter, and return the number of entries they scanned.  The filter tests membership
    // in the followed lists, so an entry standing twice in the neighbour list passes
    // twice.  `cross` is the node's cross state, worked out when it was kUnknown; when it
    // is kNoCross the followed lists are copied as they stand.  Lists that are short
    // together take the plain loops, counted by the caller's step; long ones poll within.

    // Out of line, so that enter() stays small around the loop of the search: with this
    // and the filters' tests inline, traces up a 1,000,000-node chain take what they
    // took before the steps were split (a few percent more without).
    [[gnu::noinline]] std::size_t collect_from_value(NodeId node, std::uint8_t& cross) {
        if (!above_ && !below_) return 0;
        const Neighbours nb{g_.options(node), g_.parents(node), g_.parent(node), g_.children(node)};
        if (cross == kNoCross) return copy_followed_of_value(nb);
        if (nb.list_entries() <= Poll::kEvery) [[likely]]
            return filter_value_entries(nb, PlainScan{}, cross);
        return filter_value_entries(nb, poll_, cross);
    }

    std::size_t collect_from_op(NodeId node, std::uint8_t& cross) {
        const Idx parent = g_.parent(node);
        const bool parent_followed = above_ && parent != kNone;
        if (!parent_followed && !below_) return 0;
        const Neighbours nb{g_.options(node), g_.parents(node), parent, g_.children(node)};
        if (cross == kNoCross) return copy_followed_of_op(nb, parent_followed);
        if (nb.list_entries() <= Poll::kEvery) [[likely]]
            return filter_op_entries(nb, parent_followed, PlainScan{}, cross);
        return filter_op_entries(nb, parent_followed, poll_, cross);
    }

    void append(std::span<const Idx> list) { kept_.append(list); }

    // A value's followed lists when nothing else passes: its options below, its parents above.
    std::size_t followed_of_value(const Neighbours& nb) const {
        return (below_ ? nb.options.size() : 0) + (above_ ? nb.parents.size() : 0);
    }
    std::size_t copy_followed_of_value(const Neighbours& nb) {
        if (below_) append(nb.options);
        if (above_) append(nb.parents);
        return followed_of_value(nb);
    }

    // An op's followed links when nothing else passes: its parent above, its children below.
    std::size_t followed_of_op(const Neighbours& nb, bool parent_followed) const {
        return std::size_t(parent_followed) + (below_ ? nb.children.size() : 0);
    }
    std::size_t copy_followed_of_op(const Neighbours& nb, bool parent_followed) {
        if (parent_followed) kept_.push_back(nb.parent);
        if (below_) append(nb.children);
        return followed_of_op(nb, parent_followed);
    }

    // After a filtered collection: whether more entries passed than the followed lists
    // hold, which only entries of the other lists can make.
    void note_cross(std::size_t kept_before, std::size_t followed, std::uint8_t& cross) const {
        cross = kept_.size() - kept_before > followed ? kCross : kNoCross;
    }

    // Prepares the membership tests of a value's filter and returns the entries it has
    // scanned so far (the side parent, and what the marking of long lists left to count).
    // Entries that come from the options pass when below is on, those from the parents
    // when above is on; only entries of the other lists need a membership test, so a
    // list is indexed only when those exist or its direction alone is followed.
    std::size_t index_value_lists(const Neighbours& nb) {
        const bool others = nb.parent != kNone || !nb.children.empty();
        std::size_t scanned = nb.parent != kNone;
        if (below_ && (!above_ || others)) scanned += in_below_list_.reset(nb.options, poll_);
        if (above_ && (!below_ || others)) scanned += in_above_list_.reset(nb.parents, poll_);
        return scanned;
    }
    // Asked for every entry scanned, so kept inline: a call per entry costs a few
    // percent on a long chain, where every node is entered once and filtered.
    [[gnu::always_inline]] bool value_entry_passes(Idx entry) const {
        return (below_ && in_below_list_.contains(entry)) || (above_ && in_above_list_.contains(entry));
    }

    template <class Scan>
    std::size_t filter_value_entries(const Neighbours& nb, Scan&& scanner, std::uint8_t& cross) {
        std::size_t scanned = index_value_lists(nb);
        const std::size_t before = kept_.size();
        scanned += scanner.scan(nb.options.size(), [&](std::size_t i) {
            if (below_ || value_entry_passes(nb.options[i])) kept_.push_back(nb.options[i]);
        });
        scanned += scanner.scan(nb.parents.size(), [&](std::size_t i) {
            if (above_ || value_entry_passes(nb.parents[i])) kept_.push_back(nb.parents[i]);
        });
        if (nb.parent != kNone && value_entry_passes(nb.parent)) kept_.push_back(nb.parent);
        scanned += scanner.scan(nb.children.size(), [&](std::size_t i) {
            if (value_entry_passes(nb.children[i])) kept_.push_back(nb.children[i]);
        });
        note_cross(before, followed_of_value(nb), cross);
        return scanned;
    }

    // The same for an op: its children are indexed only when its other lists hold
    // entries to test.
    std::size_t index_op_children(const Neighbours& nb) {
        std::size_t scanned = nb.parent != kNone;
        const bool others = !nb.options.empty() || !nb.parents.empty() || nb.parent != kNone;
        if (below_ && others) scanned += in_below_list_.reset(nb.children, poll_);
        return scanned;
    }
    [[gnu::always_inline]] bool op_entry_passes(Idx entry, Idx parent, bool parent_followed) const {
        return (parent_followed && entry == parent) || (below_ && in_below_list_.contains(entry));
    }

    template <class Scan>
    std::size_t filter_op_entries(const Neighbours& nb, bool parent_followed, Scan&& scanner,
                                  std::uint8_t& cross) {
        std::size_t scanned = index_op_children(nb);
        const Idx parent = nb.parent;
        auto passes = [&](Idx entry) { return op_entry_passes(entry, parent, parent_followed); };
        const std::size_t before = kept_.size();
        scanned += scanner.scan(nb.options.size(), [&](std::size_t i) {
            if (passes(nb.options[i])) kept_.push_back(nb.options[i]);
        });
        scanned += scanner.scan(nb.parents.size(), [&](std::size_t i) {
            if (passes(nb.parents[i])) kept_.push_back(nb.parents[i]);
        });
        if (nb.parent != kNone && passes(nb.parent)) kept_.push_back(nb.parent);
        scanned += scanner.scan(nb.children.size(), [&](std::size_t i) {
            if (below_ || passes(nb.children[i])) kept_.push_back(nb.children[i]);
        });
        note_cross(before, followed_of_op(nb, parent_followed), cross);
        return scanned;
    }
};

}  // namespace

Traces traces(const Graph& g, NodeId start, TraceOptions opts) {
    Poll poll;
    return traces(g, start, opts, poll);
}

Traces traces(const Graph& g, NodeId start, TraceOptions opts, Poll& poll) {
    TraceSearch search(g, opts, poll);
    return search.run(start);
}

}  // namespace quill
