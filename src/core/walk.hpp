// Walks and whole-graph queries built on the canonical walk order.
#pragma once

#include <span>
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

// The walk from the root in both directions (the canonical order), with each walked
// node's position.  Counts the connection pairs on the way: the links that the walk
// follows from a node (a value's parents and options, an op's parent and children) all
// end at walked nodes, so they count by their lengths; the rarely filled fields of the
// other kind are noted and counted afterwards, once every position is known.  Calls
// visit(id) for each node in walk order.  Fails with the out-of-range message for a root
// that names no node.  The order and the pairs are those of the structural hashes and of
// connections().
struct CanonicalWalk {
    std::vector<Idx> order;
    IdxMap position;
    std::uint64_t pairs = 0;

    template <class Visit>
    CanonicalWalk(const Graph& g, Poll& poll, Visit&& visit) : position(g.size()) {
        const std::uint64_t n = g.size();
        const NodeId root = g.root_id;
        if (root >= n) out_of_range(n, root);
        IdStack stack;
        stack.push_back(Idx(root));
        bool odd = false;  // a walked node holds links in the fields of the other kind
        if (!position.is_flat())
            odd |= run(g, stack, poll, visit, [&](Idx m) { return position.get(m) != kNone; },
                       [&](Idx id, Idx at) { position.set(id, at); }, true);
        if (!stack.empty()) {
            // A sizeable share of the graph is reached: room for all of it saves the
            // order's growth steps, and the loop goes on through the flat array.
            order.reserve(n);
            Idx* flat = position.flat_mut();
            odd |= run(g, stack, poll, visit, [flat](Idx m) { return flat[m] != kNone; },
                       [flat](Idx id, Idx at) { flat[id] = at; }, false);
        }
        if (odd) count_other_kind(g, poll);
    }

    // The walk over one form of the position map; with `until_flat` it returns as soon
    // as the map has turned flat, leaving the rest of the work on the stack.  Returns
    // whether a walked node holds links in the fields of the other kind.
    template <class Visit, class Seen, class Place>
    bool run(const Graph& g, IdStack& stack, Poll& poll, Visit& visit, Seen&& seen,
             Place&& place, bool until_flat) {
        bool odd = false;
        Graph::OwnLinks l;
        // Returns the entries scanned but not yet counted: a long list polls within.
        auto push_reversed = [&](std::span<const Idx> ids) {
            pairs += ids.size();
            return poll.scan_reversed(ids.size(), [&](std::size_t i) {
                if (!seen(ids[i])) stack.push_back(ids[i]);
            });
        };
        while (!stack.empty()) {
            const Idx id = stack.back();
            stack.pop_back();
            if (seen(id)) {
                poll.step();  // a list that names one node many times pushes it as often
                continue;
            }
            place(id, Idx(order.size()));
            order.push_back(id);
            visit(id);
            std::size_t scanned;
            if (g.own_links(id, l)) [[likely]] {
                // The lead link, then the primary list reversed: as the paths below.
                if (l.has_lead && !seen(l.lead)) stack.push_back(l.lead);
                for (int k = l.primary_size; k-- > 0;)
                    if (!seen(l.primary[k])) stack.push_back(l.primary[k]);
                scanned = std::size_t(l.count());
                pairs += scanned;
            } else if (g.is_op(id)) {
                const Idx p = g.parent(id);
                if (p != kNone && !seen(p)) stack.push_back(p);
                scanned = push_reversed(g.children(id));
                pairs += (p != kNone);
                odd |= !g.parents(id).empty() || !g.options(id).empty();
            } else {
                scanned = push_reversed(g.options(id));
                scanned += push_reversed(g.parents(id));
                odd |= !g.children(id).empty() || g.parent(id) != kNone;
            }
            poll.step(1 + scanned);
            if (until_flat && position.is_flat()) break;
        }
        return odd;
    }

    // Adds the pairs of the links stored in the fields of the other kind that end at
    // walked nodes.
    void count_other_kind(const Graph& g, Poll& poll) {
        auto walked = [&](Idx m) { return position.get(m) != kNone; };
        auto count = [&](std::span<const Idx> l) {
            return poll.scan(l.size(), [&](std::size_t i) { pairs += walked(l[i]); });
        };
        for (Idx id : order) {
            std::size_t scanned = 0;
            if (g.is_op(id)) {
                for (Field f : {Field::Parents, Field::Options}) scanned += count(g.list(id, f));
            } else {
                scanned = count(g.children(id));
                if (Idx p = g.parent(id); p != kNone) pairs += walked(p);
            }
            poll.step(1 + scanned);
        }
    }
};

// Gathers the connection pairs of a canonical walk in canonical order: for each walked
// node, the positions of its options, parents, parent and children that were walked, as
// 8-byte words (from, to, from, to, ...).  They go into a block, and flush(words, count)
// takes the block whenever it fills up and once at the end.  A block's lookups are
// independent loads that overlap, instead of waiting behind whatever the caller does
// with each pair.  A node that keeps all its links itself writes three pairs
// unconditionally and keeps as many as it has (its links all end at walked nodes; a
// missing one reads the node's own position).  The links read here are those the walk
// has just scanned and counted, so each node counts one unit.
template <class Flush>
void gather_connections(const Graph& g, const CanonicalWalk& w, Poll& poll, Flush&& flush) {
    auto run = [&](auto&& pos) {
        constexpr std::size_t kBlock = 1024;  // words; a block has room for 6 more
        std::uint64_t block[kBlock + 6];
        std::size_t fill = 0;
        auto room = [&] {
            if (fill >= kBlock) {
                flush(block, fill);
                fill = 0;
            }
        };
        Graph::OwnLinks l;
        const std::vector<Idx>& order = w.order;
        for (std::size_t i = 0; i < order.size(); ++i) {
            poll.step();
            const Idx id = order[i];
            room();
            if (g.own_links(id, l)) [[likely]] {
                const int count = l.count();
                const Idx pair[3] = {l.has_lead ? l.lead : l.primary[0],
                                     l.has_lead ? l.primary[0] : l.primary[1], l.primary[1]};
                for (int k = 0; k < 3; ++k) {
                    block[fill + 2 * k] = i;
                    block[fill + 2 * k + 1] = pos(k < count ? pair[k] : id);
                }
                fill += 2 * std::size_t(count);
                continue;
            }
            // A long list polls within; the rest was counted with the node above.
            auto add = [&](Idx m) {
                room();
                const Idx at = pos(m);
                block[fill] = i;
                block[fill + 1] = at;
                fill += at != kNone ? 2 : 0;
            };
            auto add_all = [&](std::span<const Idx> l) {
                poll.scan(l.size(), [&](std::size_t k) { add(l[k]); });
            };
            // The order of for_each_neighbor: options, parents, parent, children.
            add_all(g.options(id));
            add_all(g.parents(id));
            if (Idx p = g.parent(id); p != kNone) add(p);
            add_all(g.children(id));
        }
        if (fill) flush(block, fill);
    };
    if (w.position.is_flat()) {
        const Idx* flat = w.position.flat();
        run([flat](Idx m) { return flat[m]; });
    } else {
        run([&w](Idx m) { return w.position.get(m); });
    }
}

// The connection list of the root's component; fails with the out-of-range message for
// a root that names no node.
std::vector<std::pair<std::uint64_t, std::uint64_t>> connections(const Graph& g);

}  // namespace quill
