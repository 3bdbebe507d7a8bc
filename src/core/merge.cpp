// Folding one value node into another.
//
// The ops above `other` (its parents) and/or the ops below it (its options) are moved
// over to `keep`, and the op side of each moved link is redirected.  Every id that could
// fail is tested, and every block the merge needs is taken, before the first change, so a
// failed call leaves the graph untouched.
#include "merge.hpp"

#include <algorithm>
#include <unordered_set>
#include <vector>

namespace quill {

namespace {

// The ids of `moved` that `held` lacks, each once, in `moved` order: what keep's list
// gains.
std::vector<Idx> missing(std::span<const Idx> held, std::span<const Idx> moved) {
    std::vector<Idx> out;
    out.reserve(moved.size());
    // Short lists are searched directly; long ones through a set, so that merging two
    // large nodes stays linear.
    constexpr std::size_t kScanLimit = 16;
    if (moved.size() <= kScanLimit && held.size() <= 4 * kScanLimit) {
        auto in = [](auto&& list, Idx f) { return std::find(list.begin(), list.end(), f) != list.end(); };
        for (Idx f : moved)
            if (!in(held, f) && !in(out, f)) out.push_back(f);
        return out;
    }
    std::unordered_set<Idx> seen(held.begin(), held.end());
    for (Idx f : moved)
        if (seen.insert(f).second) out.push_back(f);
    return out;
}

std::vector<Idx> distinct(std::span<const Idx> ids) {
    std::vector<Idx> out(ids.begin(), ids.end());
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

// Tests one side before anything changes: `other`, then `keep` when there is something
// to move, then every moved op.
void check_side(const Graph& g, NodeId keep, NodeId other, bool upper) {
    g.check(other);
    std::span<const Idx> moved = upper ? g.parents(other) : g.options(other);
    if (moved.empty()) return;
    g.check(keep);
    for (Idx f : moved) g.check(f);
}

}  // namespace

void merge_value_nodes(Graph& g, NodeId keep, NodeId other, bool upper, bool lower) {
    if (keep == other) return;
    // The upper side never touches `other`'s options, so both sides can be tested up front.
    if (upper) check_side(g, keep, other, true);
    if (lower) check_side(g, keep, other, false);

    // Everything the merge will write, and every block it needs, is worked out before the
    // first change, so that a failure (std::bad_alloc) leaves the graph as it was.  The
    // two sides read disjoint lists (the upper side writes keep's parents, other's parents
    // and its ops' children; the lower side reads only the options of keep and other), so
    // working both out first gives what doing them one after the other gives.
    std::vector<Idx> new_parents, rewritten, new_options, reparented;
    if (upper && !g.parents(other).empty()) {
        new_parents = missing(g.parents(keep), g.parents(other));
        // Rewriting is the same whether an op stands once or many times among the
        // parents, so each distinct op's children are rewritten once.
        rewritten = distinct(g.parents(other));
    }
    if (lower && !g.options(other).empty()) {
        new_options = missing(g.options(keep), g.options(other));
        reparented = distinct(g.options(other));
    }
    // keep's lists grow; a moved option that is a value node keeps its parent in a side
    // record, which may not exist yet.  With nothing to move, keep is not looked at (it
    // may name no node).
    if (!rewritten.empty() || !reparented.empty()) {
        std::vector<Graph::Growth> room;
        room.push_back({.id = keep, .parents = new_parents.size(), .options = new_options.size()});
        for (Idx f : reparented) {
            if (f == keep)
                room[0].parent = true;
            else if (!g.is_op(f))
                room.push_back({.id = f, .parent = true});
        }
        g.make_room(room);
    }

    for (Idx f : new_parents) g.push_parent(keep, f);
    for (Idx f : rewritten)
        for (Idx& c : g.children_mut(f))
            if (c == other) c = Idx(keep);
    if (upper) g.clear_parents(other);
    for (Idx f : new_options) g.push_option(keep, f);
    for (Idx f : reparented) g.set_parent(f, Idx(keep));
    if (lower) g.clear_options(other);
}

}  // namespace quill
