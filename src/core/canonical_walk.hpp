// The canonical walk with positions, and the connection pairs gathered from it: what the
// structural hashes (hash.cpp) and connections() (walk.cpp) are built on.  Private to
// those two files (and the native tests); the public face is walk.hpp.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "depth_first.hpp"
#include "graph.hpp"
#include "id_sets.hpp"

namespace quill {

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
    bool other_kind = false;  // a walked node holds links in the fields of the other kind

    template <class Visit>
    CanonicalWalk(const Graph& g, Poll& poll, Visit&& visit) : position(g.size()) {
        const std::uint64_t n = g.size();
        const NodeId root = g.root_id;
        if (root >= n) out_of_range(n, root);
        IdStack stack;
        stack.push_back(Idx(root));
        number_sparse_then_flat(position, order, stack, [&](auto&& seen, auto&& number,
                                                            auto&& stop) {
            auto enter = [&](Idx id) {
                number(id);
                visit(id);
            };
            auto push_links = [&](Idx id) {
                return push_walk_links(g, id, stack, poll, seen, other_kind);
            };
            depth_first(stack, poll, seen, enter, push_links, stop);
        });
        if (other_kind) count_other_kind(g, poll);
    }

    // True when the walk met the nodes in the order in which a copy numbers them
    // (clone.cpp: from every node its parents, parent, options, children).  That holds
    // when every link lies in the fields of its node's kind and every op comes after its
    // parent: a value's links are then followed in the same order by both, and an op's
    // parent, taken first by the copy and last by the walk, is passed over by both, so
    // the two searches go the same way step by step.  One read of each op's parent.
    bool in_copy_order(const Graph& g, Poll& poll) const {
        if (other_kind) return false;
        auto run = [&](auto&& pos) {
            bool after = true;
            // A part of at most kEvery nodes at a time, each node one unit.
            for (std::size_t i = 0; i < order.size() && after;) {
                const std::size_t first = i;
                const std::size_t part = std::min<std::size_t>(order.size(), i + Poll::kEvery);
                for (; i < part; ++i) {
                    const Idx id = order[i];
                    if (!g.is_op(id)) continue;
                    const Idx p = g.parent(id);
                    after &= p == kNone || pos(p) < i;
                }
                poll.step(part - first);
            }
            return after;
        };
        if (position.is_flat()) {
            const Idx* flat = position.flat();
            return run([flat](Idx m) { return flat[m]; });
        }
        return run([this](Idx m) { return position.get(m); });
    }

private:
    // The links the walk follows from `id`, pushed in the canonical order; counts them as
    // pairs and notes in `other_kind` a node with links in the fields of the other kind.
    // A node that keeps its links itself is read in one go: its lead link (an op's parent,
    // a value's option) is pushed first and its primary list (an op's children, a value's
    // parent) reversed after it, which is the canonical order of the lists.  Returns the
    // entries scanned but not yet counted.
    template <class Seen>
    [[gnu::always_inline]] std::size_t push_walk_links(const Graph& g, Idx id, IdStack& stack,
                                                       Poll& poll, Seen& seen,
                                                       bool& other_kind) {
        Graph::OwnLinks own;
        if (g.own_links(id, own)) [[likely]] {
            if (own.has_lead && !seen(own.lead)) stack.push_back(own.lead);
            for (int k = own.primary_size; k-- > 0;)
                if (!seen(own.primary[k])) stack.push_back(own.primary[k]);
            pairs += std::size_t(own.count());
            return std::size_t(own.count());
        }
        if (g.is_op(id))
            other_kind |= !g.parents(id).empty() || !g.options(id).empty();
        else
            other_kind |= !g.children(id).empty() || g.parent(id) != kNone;
        return push_canonical(g, id, BothDirections{}, stack, poll, seen,
                              [this](std::size_t links) { pairs += links; });
    }

    // Adds the pairs of the links stored in the fields of the other kind that end at
    // walked nodes.
    void count_other_kind(const Graph& g, Poll& poll) {
        auto walked = [&](Idx m) { return position.get(m) != kNone; };
        auto count = [&](std::span<const Idx> links) {
            return poll.scan(links.size(), [&](std::size_t i) { pairs += walked(links[i]); });
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
        // Words of one block: 8 KiB, which stays in the first-level cache together with
        // the hasher's state, and makes the flush calls few (one per 512 pairs).  A block
        // has room for 6 more, the three pairs a node that keeps its links writes at once.
        constexpr std::size_t kBlock = 1024;
        std::uint64_t block[kBlock + 6];
        std::size_t fill = 0;
        auto room = [&] {
            if (fill >= kBlock) {
                flush(block, fill);
                fill = 0;
            }
        };
        Graph::OwnLinks own;
        const std::vector<Idx>& order = w.order;
        for (std::size_t i = 0; i < order.size(); ++i) {
            poll.step();
            const Idx id = order[i];
            room();
            if (g.own_links(id, own)) [[likely]] {
                const int count = own.count();
                const Idx pair[3] = {own.has_lead ? own.lead : own.primary[0],
                                     own.has_lead ? own.primary[0] : own.primary[1],
                                     own.primary[1]};
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
            auto add_all = [&](std::span<const Idx> links) {
                poll.scan(links.size(), [&](std::size_t k) { add(links[k]); });
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

}  // namespace quill
