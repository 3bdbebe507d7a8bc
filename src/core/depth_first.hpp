// The depth-first searches of the walks and the copies, in one place: the loop over an
// explicit stack, the canonical order in which a node's links are pushed, and the driver
// that numbers the nodes through a sparse map first and through its flat array once it
// has turned flat.  Private to the .cpp files whose searches use it (walk.cpp and hash.cpp
// through canonical_walk.hpp, clone.cpp, leaf_counts.cpp).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "graph.hpp"
#include "id_sets.hpp"

namespace quill {

// Directions fixed at compile time, for push_canonical: the tests of the directions not
// taken then cost nothing.
struct BothDirections {
    static constexpr bool above = true;
    static constexpr bool below = true;
};
struct DownwardOnly {
    static constexpr bool above = false;
    static constexpr bool below = true;
};

// Depth-first pre-order over the ids on `stack`: pops an id, passes over it when
// `seen(id)` (one unit: a list that names one node many times pushes it as often),
// otherwise calls `enter(id)` and then `push_links(id)`, which pushes the links to follow
// in reverse (the first to follow last) and returns the entries it scanned but did not
// count (a long list polls within); the node and those entries count as one step.  Stops
// when the stack is empty, or after a node when `stop()` says so, leaving the rest of the
// work on the stack.
template <class Seen, class Enter, class PushLinks, class Stop>
[[gnu::always_inline]] inline void depth_first(IdStack& stack, Poll& poll, Seen&& seen,
                                               Enter&& enter, PushLinks&& push_links,
                                               Stop&& stop) {
    while (!stack.empty()) {
        const Idx id = stack.back();
        stack.pop_back();
        if (seen(id)) {
            poll.step();
            continue;
        }
        enter(id);
        poll.step(1 + push_links(id));
        if (stop()) return;
    }
}

// Pushes the links of `id` in the canonical order, restricted to `dirs` (a type with
// `above` and `below`): from an op its children (first child first) and then its parent,
// from a value its parents (first first) and then its options.  Links for which
// `known(m)` holds are left out: they would be passed over when popped, so the order is
// the same.  `tally(k)` hears of every k links followed (a list's length, 1 for the
// parent), known or not.  Returns the entries scanned but not yet counted.
template <class Dirs, class Known, class Tally>
[[gnu::always_inline]] inline std::size_t push_canonical(const Graph& g, Idx id, Dirs dirs,
                                                         IdStack& stack, Poll& poll,
                                                         Known&& known, Tally&& tally) {
    auto push_reversed = [&](std::span<const Idx> ids) {
        tally(ids.size());
        return poll.scan_reversed(ids.size(), [&](std::size_t i) {
            if (!known(ids[i])) stack.push_back(ids[i]);
        });
    };
    std::size_t scanned = 0;
    if (g.is_op(id)) {
        if (dirs.above)
            if (const Idx p = g.parent(id); p != kNone) {
                tally(1);
                if (!known(p)) stack.push_back(p);
            }
        if (dirs.below) scanned += push_reversed(g.children(id));
    } else {
        if (dirs.below) scanned += push_reversed(g.options(id));
        if (dirs.above) scanned += push_reversed(g.parents(id));
    }
    return scanned;
}

// Numbers the nodes that `search` reaches from the ids on `stack` in the order it enters
// them: `number` maps each to its place in `order`.  The map starts sparse, so that a
// small part of a huge graph costs what it reaches; once it has turned flat, a sizeable
// share of the graph is reached, and the search goes on through the flat array with room
// in `order` for every node (which saves its growth steps).
//
// `search(seen, enter, stop)` runs the search over one form of the map: `seen(m)` tells
// whether m is numbered, `enter(m)` numbers it, and `stop()` says when the map has
// turned flat (never, in the flat form).  It returns when the stack is empty or when
// stop() said so.
template <class Search>
[[gnu::always_inline]] inline void number_sparse_then_flat(IdxMap& number,
                                                           std::vector<Idx>& order,
                                                           IdStack& stack, Search&& search) {
    if (!number.is_flat()) {
        search([&](Idx m) { return number.get(m) != kNone; },
               [&](Idx m) {
                   number.set(m, Idx(order.size()));
                   order.push_back(m);
               },
               [&] { return number.is_flat(); });
        if (stack.empty()) return;
    }
    order.reserve(number.bound());
    Idx* flat = number.flat_mut();
    search([flat](Idx m) { return flat[m] != kNone; },
           [flat, &order](Idx m) {
               flat[m] = Idx(order.size());
               order.push_back(m);
           },
           [] { return false; });
}

}  // namespace quill
