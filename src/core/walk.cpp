#include "walk.hpp"

#include "id_sets.hpp"

namespace quill {

namespace {

// Pushes a list in reverse so that its first entry is popped first.  Entries already
// visited are left out: they would be skipped when popped, so the order is the same.
// A long list is polled within; returns the entries scanned but not yet counted.
inline std::size_t push_reversed(IdStack& stack, std::span<const Idx> ids,
                                 const NodeSet& seen, std::uint64_t n, Poll& poll) {
    return poll.scan_reversed(ids.size(), [&](std::size_t i) {
        Idx m = ids[i];
        if (m >= n || !seen.contains(m)) stack.push_back(m);
    });
}

// The walk proper; calls visit(id) for each node in visiting order.
template <class Visit>
void walk_impl(const Graph& g, NodeId start, Directions dirs, Poll& poll, Visit&& visit) {
    const std::uint64_t n = g.size();
    if (start >= n) out_of_range(n, start);
    NodeSet seen(n);
    IdStack stack;
    stack.push_back(Idx(start));
    while (!stack.empty()) {
        Idx id = stack.back();
        stack.pop_back();
        if (id >= n) out_of_range(n, id);
        if (seen.contains(id)) {
            poll.step();  // a list that names one node many times pushes it as often
            continue;
        }
        seen.insert(id);
        visit(NodeId(id));
        std::size_t scanned = 0;
        if (g.is_op(id)) {
            if (dirs.above) {
                Idx p = g.parent(id);
                if (p != kNone && (p >= n || !seen.contains(p))) stack.push_back(p);
            }
            if (dirs.below) scanned += push_reversed(stack, g.children(id), seen, n, poll);
        } else {
            if (dirs.below) scanned += push_reversed(stack, g.options(id), seen, n, poll);
            if (dirs.above) scanned += push_reversed(stack, g.parents(id), seen, n, poll);
        }
        poll.step(1 + scanned);
    }
}

}  // namespace

std::vector<NodeId> walk(const Graph& g, NodeId start, Directions dirs) {
    std::vector<NodeId> out;
    Poll poll;
    walk_impl(g, start, dirs, poll, [&](NodeId id) { out.push_back(id); });
    return out;
}

std::vector<NodeId> leaves(const Graph& g) {
    Poll poll;
    return leaves(g, poll);
}

std::vector<NodeId> leaves(const Graph& g, Poll& poll) {
    std::vector<NodeId> out;
    if (!g.valid(g.root_id)) return out;
    walk_impl(g, g.root_id, {.above = false, .below = true}, poll, [&](NodeId id) {
        if (!g.is_op(id) && g.options(id).empty()) out.push_back(id);
    });
    return out;
}

std::vector<NodeId> neighbors(const Graph& g, NodeId id) {
    g.check(id);
    std::vector<NodeId> out;
    for_each_neighbor(g, id, [&](NodeId m) { out.push_back(m); });
    return out;
}

std::vector<std::pair<std::uint64_t, std::uint64_t>> connections(const Graph& g) {
    Poll poll;
    const CanonicalWalk w(g, poll, [](Idx) {});
    std::vector<std::pair<std::uint64_t, std::uint64_t>> out;
    out.reserve(w.pairs);
    gather_connections(g, w, poll, [&](const std::uint64_t* words, std::size_t n) {
        for (std::size_t k = 0; k < n; k += 2) out.emplace_back(words[k], words[k + 1]);
    });
    return out;
}

}  // namespace quill
