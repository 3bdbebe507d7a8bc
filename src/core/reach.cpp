// Upward reachability: does a node lie below any node of a set?
//
// `is_below_rec` climbs from a node along the upward links.  Chains of op nodes (an op's
// single parent) are climbed in a loop; every value node opens a level whose parents are
// tried in stored order, the first true answer ending the whole search.  The levels live
// on an explicit stack, so a chain of a million nodes needs no native recursion.  A value
// node already on the current path, and an op chain that comes back on itself, end their
// branch with false.
#include "reach.hpp"

#include <vector>

#include "id_sets.hpp"

namespace quill {

namespace {

template <class Target>
class Reach {
public:
    Reach(const Graph& g, const Target& target, ClimbOptions opts, Poll& poll)
        : g_(g), target_(target), skip_(opts.skip, poll), include_self_(opts.include_self),
          path_(g.size()), poll_(poll) {}

    bool run(NodeId start) {
        Step s = is_below_rec(start);
        if (s != Step::Opened) return s == Step::True;
        while (!path_.empty()) {
            const std::span<const Idx> parents = g_.parents(path_.back());
            Idx& cursor = path_.cursor();
            if (cursor < parents.size()) {
                const Idx p = parents[cursor++];
                if (is_below_rec(p) == Step::True) return true;
            } else {
                path_.pop();
            }
        }
        return false;
    }

private:
    enum class Step { False, True, Opened };

    const Graph& g_;
    const Target& target_;
    IdSet skip_;
    bool include_self_;
    // The value nodes on the current path, each with the next entry of its parents to try.
    SearchPath path_;
    Poll& poll_;

    // Climbs from n through any chain of op nodes.  Answers at once, or opens a level for
    // the value node the climb ends on.
    Step is_below_rec(NodeId n) {
        // Cycle watch over the op chain (Brent): `anchor` is an op already passed, moved
        // ahead at doubling distances; meeting it again means the chain loops.  Every op
        // of the loop has been looked at by then, so no answer is lost.
        NodeId anchor = 0;
        bool anchored = false;
        std::uint64_t power = 1, dist = 0;
        for (;;) {
            poll_.step();
            if (skip_.contains(n)) return Step::False;
            g_.check(n);
            if (!g_.is_op(n)) break;
            if (target_.contains(n)) return Step::True;
            const Idx p = g_.parent(n);
            if (p == kNone) return Step::False;
            if (!anchored || dist == power) {
                anchor = n;
                anchored = true;
                power <<= 1;
                dist = 0;
            }
            ++dist;
            if (p == anchor) return Step::False;
            n = p;
        }
        if (path_.contains(n)) return Step::False;
        if (include_self_ && target_.contains(n)) return Step::True;
        path_.push(n);
        return Step::Opened;
    }
};

}  // namespace

bool is_below(const Graph& g, NodeId start, std::span<const NodeId> nodes, ClimbOptions opts) {
    Poll poll;
    const IdSet targets(nodes, poll);
    Reach<IdSet> search(g, targets, opts, poll);
    return search.run(start);
}

bool is_below(const Graph& g, NodeId start, const StampedSet& nodes, ClimbOptions opts,
              Poll& poll) {
    Reach<StampedSet> search(g, nodes, opts, poll);
    return search.run(start);
}

}  // namespace quill
