// Trace enumeration: every dead-end path from a node in the enabled directions.
//
// `traces_rec` is a depth-first search that, at each node, follows the entries of the
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
    std::size_t end;
    Idx node;
    bool recorded;
};

class TraceSearch {
public:
    TraceSearch(const Graph& g, TraceOptions opts, Poll& poll)
        : g_(g), n_(g.size()), me_too_(opts.me_too), op_nodes_(opts.op_nodes),
          val_nodes_(opts.val_nodes), above_(opts.above), below_(opts.below), state_(n_),
          in_a_(n_), in_b_(n_), poll_(poll) {}

    Traces run(NodeId start) {
        traces_rec(start);
        while (!stack_.empty()) {
            Frame& top = stack_.back();
            if (top.cursor < top.end) {
                const Idx m = kept_[top.cursor++];
                traces_rec(m);
            } else {
                leave(top);
                stack_.pop_back();
                kept_.resize(stack_.empty() ? 0 : stack_.back().end);
            }
        }
        return std::move(result_);
    }

private:
    const Graph& g_;
    const std::uint64_t n_;
    const bool me_too_, op_nodes_, val_nodes_, above_, below_;
    // Per node: whether it is on the current path (kOnPath), and in the low bits whether
    // any entry outside the followed lists passed the filter when the node was first
    // entered (kUnknown before that).  The kept entries depend only on the node, so later
    // visits of a node where none did copy the followed lists straight away instead of
    // testing every entry of its other lists again; a top value with many options, met
    // once per trace, then costs only what it contributes.  One map for both, so that
    // entering a node looks it up once.
    enum : std::uint8_t { kUnknown = 0, kNoCross = 1, kCross = 2, kCrossMask = 3, kOnPath = 4 };
    NodeMap<std::uint8_t> state_;
    std::vector<NodeId> path_;
    Traces result_;
    std::vector<Frame> stack_;
    std::vector<Idx> kept_;  // kept entries of all frames on the stack, in stack order
    ListMembership in_a_, in_b_;
    Poll& poll_;

    // One step of the search: enters `n`, records a trace at a dead end, or pushes a frame
    // whose kept entries the main loop then visits in order.
    void traces_rec(NodeId n) {
        poll_.step();
        // An id beyond the node list can never be on the path: it fails as soon as it
        // is met.
        if (n >= n_) out_of_range(n_, n);
        // Nothing below adds to state_, so the reference stays valid.
        std::uint8_t& st = state_.ref(n);
        if (st & kOnPath) return;
        const bool op = g_.is_op(n);
        const bool recorded = me_too_ && (op ? op_nodes_ : val_nodes_);
        if (recorded) path_.push_back(n);

        const std::size_t begin = kept_.size();
        std::uint8_t cross = st & kCrossMask;
        poll_.step(collect_kept(n, op, cross));
        Frame f{begin, kept_.size(), Idx(n), recorded};
        if (f.cursor == f.end) {  // a dead end: entered and left at once
            st = cross;
            poll_.step(path_.size());  // the copy of the path
            result_.push_back(path_);
            if (recorded) path_.pop_back();
            return;
        }
        st = kOnPath | cross;
        stack_.push_back(f);
    }

    void leave(const Frame& f) {
        state_.ref(f.node) &= std::uint8_t(~kOnPath);
        if (f.recorded) path_.pop_back();
    }

    // Appends to kept_ the entries of n's neighbour list (options, parents, parent,
    // children) that pass the direction filter, and returns the number of entries it
    // scanned.  The filter tests membership in the relevant list, so an entry standing
    // twice in the neighbour list passes twice.
    // `cross` is the node's kCross state, updated when it was kUnknown.
    std::size_t collect_kept(NodeId n, bool op, std::uint8_t& cross) {
        return op ? collect_from_op(n, cross) : collect_from_value(n, cross);
    }

    std::size_t collect_from_value(NodeId n, std::uint8_t& cross) {
        if (!above_ && !below_) return 0;
        const std::span<const Idx> options = g_.options(n);
        const std::span<const Idx> parents = g_.parents(n);
        const Idx side_parent = g_.parent(n);
        const std::span<const Idx> children = g_.children(n);
        if (cross == kNoCross) {
            if (below_) kept_.insert(kept_.end(), options.begin(), options.end());
            if (above_) kept_.insert(kept_.end(), parents.begin(), parents.end());
            return (below_ ? options.size() : 0) + (above_ ? parents.size() : 0);
        }
        // Entries that come from the options pass when below is on, those from the
        // parents when above is on; anything else needs a membership test.
        const bool others = side_parent != kNone || !children.empty();
        const bool need_opt_set = below_ && (!above_ || others);
        const bool need_par_set = above_ && (!below_ || others);
        // Long lists poll within; `scanned` gathers what is left to count.  Lists that
        // are short together take the plain loops, counted by the caller's step.
        auto general = [&](auto&& sc) -> std::size_t {
            std::size_t scanned = side_parent != kNone;
            if (need_opt_set) scanned += in_a_.reset(options, poll_);
            if (need_par_set) scanned += in_b_.reset(parents, poll_);
            auto pass = [&](Idx m) {
                return (below_ && in_a_.contains(m)) || (above_ && in_b_.contains(m));
            };
            const std::size_t before = kept_.size();
            std::size_t direct = 0;
            scanned += sc.scan(options.size(), [&](std::size_t i) {
                if (below_ || pass(options[i])) kept_.push_back(options[i]);
            });
            if (below_) direct += options.size();
            scanned += sc.scan(parents.size(), [&](std::size_t i) {
                if (above_ || pass(parents[i])) kept_.push_back(parents[i]);
            });
            if (above_) direct += parents.size();
            if (side_parent != kNone && pass(side_parent)) kept_.push_back(side_parent);
            scanned += sc.scan(children.size(), [&](std::size_t i) {
                if (pass(children[i])) kept_.push_back(children[i]);
            });
            cross = kept_.size() - before > direct ? kCross : kNoCross;
            return scanned;
        };
        if (options.size() + parents.size() + children.size() <= Poll::kEvery) [[likely]]
            return general(PlainScan{});
        return general(poll_);
    }

    std::size_t collect_from_op(NodeId n, std::uint8_t& cross) {
        const Idx parent = g_.parent(n);
        const bool par_ok = above_ && parent != kNone;
        if (!par_ok && !below_) return 0;
        const std::span<const Idx> options = g_.options(n);
        const std::span<const Idx> parents = g_.parents(n);
        const std::span<const Idx> children = g_.children(n);
        if (cross == kNoCross) {
            if (par_ok) kept_.push_back(parent);
            if (below_) kept_.insert(kept_.end(), children.begin(), children.end());
            return std::size_t(par_ok) + (below_ ? children.size() : 0);
        }
        const bool need_child_set =
            below_ && (!options.empty() || !parents.empty() || parent != kNone);
        // Long lists poll within; `scanned` gathers what is left to count.  Lists that
        // are short together take the plain loops, counted by the caller's step.
        auto general = [&](auto&& sc) -> std::size_t {
            std::size_t scanned = parent != kNone;
            if (need_child_set) scanned += in_a_.reset(children, poll_);
            auto pass = [&](Idx m) {
                return (par_ok && m == parent) || (below_ && in_a_.contains(m));
            };
            const std::size_t before = kept_.size();
            const std::size_t direct = std::size_t(par_ok) + (below_ ? children.size() : 0);
            scanned += sc.scan(options.size(), [&](std::size_t i) {
                if (pass(options[i])) kept_.push_back(options[i]);
            });
            scanned += sc.scan(parents.size(), [&](std::size_t i) {
                if (pass(parents[i])) kept_.push_back(parents[i]);
            });
            if (parent != kNone && pass(parent)) kept_.push_back(parent);
            scanned += sc.scan(children.size(), [&](std::size_t i) {
                if (below_ || pass(children[i])) kept_.push_back(children[i]);
            });
            cross = kept_.size() - before > direct ? kCross : kNoCross;
            return scanned;
        };
        if (options.size() + parents.size() + children.size() <= Poll::kEvery) [[likely]]
            return general(PlainScan{});
        return general(poll_);
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
