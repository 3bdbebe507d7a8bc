#include "clone.hpp"

#include "depth_first.hpp"
#include "walk.hpp"

namespace quill {

namespace {

// Pushes the links of `x` for the discovery: in reverse of the order they are taken in,
// parents, parent, options, children, whatever the node's kind.  Numbered ids are left
// out: they would be passed over when popped, and numbering never goes back, so the
// order is the same.  Returns the entries scanned but not yet counted: a long list
// polls within.
template <class Seen>
[[gnu::always_inline]] inline std::size_t push_discovery_links(const Graph& g, Idx x,
                                                               IdStack& stack, Poll& poll,
                                                               Seen& seen) {
    const std::uint64_t n = g.size();
    auto push = [&](Idx m) {
        if (m >= n) out_of_range(n, m);  // a stored link always names a node
        if (!seen(m)) stack.push_back(m);
    };
    auto push_reversed = [&](std::span<const Idx> ids) {
        return poll.scan_reversed(ids.size(), [&](std::size_t i) { push(ids[i]); });
    };
    std::size_t scanned = push_reversed(g.children(x));
    scanned += push_reversed(g.options(x));
    if (Idx p = g.parent(x); p != kNone) push(p);
    scanned += push_reversed(g.parents(x));
    return scanned;
}

// Numbers the nodes connected to the root: a depth-first discovery in which the
// neighbours of a node are taken in the order parents, parent, options, children, each
// new one explored completely before the next.  Fills `corr` (old -> new, new -> old).
void number_component(const Graph& g, Corr& corr, Poll& poll) {
    const std::uint64_t n = g.size();
    if (n == 0 || g.root_id >= n)
        fail(Failure::NoValidRoot);
    corr.to_new = IdxMap(n);
    corr.to_old.clear();
    IdStack stack;
    stack.push_back(Idx(g.root_id));
    number_sparse_then_flat(corr.to_new, corr.to_old, stack, [&](auto&& seen, auto&& number,
                                                                 auto&& stop) {
        depth_first(stack, poll, seen, number,
                    [&](Idx x) { return push_discovery_links(g, x, stack, poll, seen); }, stop);
    });
}

// Appends a copy of node `id` of `src` to `dst` with every link rewritten through `map`
// (every stored id has an entry): the path of a sparse map.
void append_through(Graph& dst, const Graph& src, NodeId id, const IdxMap& map,
                    std::vector<Idx>& scratch, Poll& poll) {
    const NodeId at = dst.append_like(src, id);
    for (Field f : kFields) {
        const std::span<const Idx> links = src.list(id, f);
        if (links.empty()) continue;
        scratch.clear();
        // A long list polls within; the node itself is counted by the caller.
        poll.scan(links.size(), [&](std::size_t i) { scratch.push_back(map.get(links[i])); });
        dst.assign(at, f, scratch);
    }
    if (Idx p = src.parent(id); p != kNone) dst.set_parent(at, map.get(p));
}

// Copies the numbered nodes of `g` into a new graph in new-id order, rewriting every link
// through the numbering.  `extra` reserves room for nodes the caller appends later.  The
// links copied here are those the numbering has just scanned and counted, so each node
// counts one unit.
Graph copy_component(const Graph& g, const Corr& corr, std::uint64_t extra, Poll& poll) {
    const std::vector<Idx>& to_old = corr.to_old;
    Graph dst;
    dst.reserve(to_old.size() + extra);
    if (corr.to_new.is_flat()) {
        const Idx* to_new = corr.to_new.flat();
        for (const Idx old : to_old) {
            poll.step();
            dst.append_mapped(g, old, to_new);
        }
    } else {
        std::vector<Idx> scratch;
        for (const Idx old : to_old) {
            poll.step();
            append_through(dst, g, old, corr.to_new, scratch, poll);
        }
    }
    dst.root_id = 0;  // the root is numbered first
    return dst;
}

}  // namespace

Clone clone_subgraph(const Graph& g) {
    Poll poll;
    return clone_subgraph(g, poll);
}

Clone clone_subgraph(const Graph& g, Poll& poll) {
    Clone out;
    number_component(g, out.corr, poll);
    out.graph = copy_component(g, out.corr, 0, poll);
    return out;
}

Graph copy_numbered(const Graph& g, const Corr& numbering, Poll& poll) {
    return copy_component(g, numbering, 0, poll);
}

namespace {

// Keeps the entries that `map` knows, rewritten, in order; drops the others.  A long
// list polls within; returns the entries scanned but not yet counted.
inline std::size_t map_filter(std::span<const Idx> src, const IdxMap& map,
                              std::vector<Idx>& scratch, Poll& poll) {
    scratch.clear();
    return poll.scan(src.size(), [&](std::size_t i) {
        if (const Idx m = map.get(src[i]); m != kNone) scratch.push_back(m);
    });
}

// Appends to `result` the nodes of `elem`'s component that `attached` numbers, but its
// root, in that order, and hangs the root's options below node `leaf`.  `to_result` takes
// an `elem` id to its id in `result` (kNone for the root and the nodes outside the
// component); links to the root are dropped.
void append_attached(Graph& result, NodeId leaf, const Graph& elem, const Corr& attached,
                     const IdxMap& to_result, Poll& poll) {
    std::vector<Idx> scratch;
    for (std::size_t i = 1; i < attached.to_old.size(); ++i) {
        const NodeId src = attached.to_old[i];
        const NodeId id = result.append_like(elem, src);
        std::size_t scanned = 0;
        for (Field f : kFields) {
            const std::span<const Idx> links = elem.list(src, f);
            if (links.empty()) continue;
            scanned += map_filter(links, to_result, scratch, poll);
            result.assign(id, f, scratch);
        }
        if (Idx p = elem.parent(src); p != kNone)
            result.set_parent(id, to_result.get(p));  // kNone: the root
        poll.step(1 + scanned);
    }

    // The attached root's options become further options of the receiving node.
    const std::span<const Idx> root_options = elem.options(elem.root_id);
    poll.step(poll.scan(root_options.size(), [&](std::size_t i) {
        const Idx option = to_result.get(root_options[i]);
        if (option == kNone) return;
        result.push(leaf, Field::Options, option);
        result.set_parent(option, Idx(leaf));
    }));
}

}  // namespace

Attached clone_and_attach(const Graph& g, const Graph& elem, NodeId root_leaf_id) {
    Poll poll;
    Corr receiver;
    number_component(g, receiver, poll);
    const std::optional<NodeId> found = receiver.get(root_leaf_id);
    if (!found) fail(Failure::NoEntry);
    const NodeId leaf = *found;

    // The attached part is the copy of `elem`'s root component without its root.  It is
    // numbered like a copy and appended straight from `elem`, which gives the same nodes
    // and links as copying the copy.
    Corr attached;
    number_component(elem, attached, poll);
    const std::size_t attached_count = attached.to_old.size();

    Attached out;
    Graph result = copy_component(g, receiver, attached_count - 1, poll);
    const std::uint64_t base = result.size();

    // `to_result` takes an `elem` id to its id in the result: copy id i (i >= 1, the root
    // being 0) becomes base + i - 1.  The root and the nodes outside the component map to kNone.
    IdxMap to_result(elem.size());
    poll.step(poll.scan(attached_count - 1, [&](std::size_t k) {
        to_result.set(attached.to_old[k + 1], Idx(base + k));
    }));

    append_attached(result, leaf, elem, attached, to_result, poll);

    poll.step(poll.scan(result.size() - base, [&](std::size_t k) {
        const NodeId id = base + k;
        if (result.children(id).empty() && result.options(id).empty())
            out.attached_leaves.push_back(id);
    }));

    const std::vector<NodeId> own_leaves = leaves(g, poll);
    poll.step(poll.scan(own_leaves.size(), [&](std::size_t k) {
        const NodeId own_leaf = own_leaves[k];
        if (own_leaf == root_leaf_id) return;
        const std::optional<NodeId> copied = receiver.get(own_leaf);
        if (!copied) fail(Failure::NoEntry);
        out.remaining_leaves.push_back(*copied);
    }));

    out.graph = std::move(result);  // its root is the receiver's root, 0
    return out;
}

}  // namespace quill
