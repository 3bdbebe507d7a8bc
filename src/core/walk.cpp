#include "walk.hpp"

#include "canonical_walk.hpp"
#include "depth_first.hpp"
#include "id_sets.hpp"

namespace quill {

namespace {

// The walk proper; calls visit(id) for each node in visiting order.  An id that names no
// node fails when it is popped, so the failure names the first such id in walk order.
// `dirs` is a Directions, or a type that fixes them at compile time.
template <class Dirs, class Visit>
void walk_impl(const Graph& g, NodeId start, Dirs dirs, Poll& poll, Visit&& visit) {
    const std::uint64_t n = g.size();
    if (start >= n) out_of_range(n, start);
    NodeSet seen(n);
    IdStack stack;
    stack.push_back(Idx(start));
    auto popped_seen = [&](Idx id) {
        if (id >= n) out_of_range(n, id);
        return seen.contains(id);
    };
    auto enter = [&](Idx id) {
        seen.insert(id);
        visit(NodeId(id));
    };
    auto push_links = [&](Idx id) {
        return push_canonical(g, id, dirs, stack, poll,
                              [&](Idx m) { return m < n && seen.contains(m); },
                              [](std::size_t) {});
    };
    depth_first(stack, poll, popped_seen, enter, push_links, [] { return false; });
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
    walk_impl(g, g.root_id, DownwardOnly{}, poll, [&](NodeId id) {
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

std::vector<std::pair<std::uint64_t, std::uint64_t>> connections(const Graph& g,
                                                                 std::uint64_t* walked) {
    Poll poll;
    const CanonicalWalk w(g, poll, [](Idx) {});
    if (walked) *walked = w.order.size();
    std::vector<std::pair<std::uint64_t, std::uint64_t>> out;
    out.reserve(w.pairs);
    gather_connections(g, w, poll, [&](const std::uint64_t* words, std::size_t n) {
        for (std::size_t k = 0; k < n; k += 2) out.emplace_back(words[k], words[k + 1]);
    });
    return out;
}

}  // namespace quill
