// Upward reachability: does a node lie below any node of a set?
//
// `Reach::climb` climbs from a node along the upward links.  Chains of op nodes (an op's
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
        const Step first = climb(start);
        if (first != Step::Opened) return first == Step::True;
        while (!path_.empty()) {
            const std::span<const Idx> parents = g_.parents(path_.back());
            Idx& cursor = path_.cursor();
            if (cursor < parents.size()) {
                const Idx parent = parents[cursor++];
                if (climb(parent) == Step::True) return true;
            } else {
                path_.pop();
            }
        }
        return false;
    }

private:
    // What one climb found: no target on this branch, a target, or a value node whose
    // parents are still to try.
    enum class Step { False, True, Opened };

    const Graph& g_;
    const Target& target_;
    IdSet skip_;
    bool include_self_;
    // The value nodes on the current path, each with the next entry of its parents to try.
    SearchPath path_;
    Poll& poll_;

    // Climbs from `node` through any chain of op nodes.  Answers at once, or opens a level for
    // the value node the climb ends on.
    Step climb(NodeId node) {
        // Cycle watch over the op chain (Brent): `anchor` is an op already passed, moved
        // ahead at doubling distances; meeting it again means the chain loops.  Every op
        // of the loop has been looked at by then, so no answer is lost.
        NodeId anchor = 0;
        bool anchored = false;
        // The distance at which the anchor moves next (doubling from 1, Brent's first
        // step), and the ops passed since it last moved.
        std::uint64_t power = 1, since_move = 0;
        for (;;) {
            poll_.step();
            if (skip_.contains(node)) return Step::False;
            g_.check(node);
            if (!g_.is_op(node)) break;
            if (target_.contains(node)) return Step::True;
            const Idx parent = g_.parent(node);
            if (parent == kNone) return Step::False;
            if (!anchored || since_move == power) {
                anchor = node;
                anchored = true;
                power <<= 1;
                since_move = 0;
            }
            ++since_move;
            if (parent == anchor) return Step::False;
            node = parent;
        }
        if (path_.contains(node)) return Step::False;
        if (include_self_ && target_.contains(node)) return Step::True;
        path_.push(node);
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
