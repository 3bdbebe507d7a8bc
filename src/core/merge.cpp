// Folding one value node into another.
//
// The ops above `other` (its parents) and/or the ops below it (its options) are moved
// over to `keep`, and the op side of each moved link is redirected.  The merge runs in
// three steps: check every id that could fail, plan and reserve everything it will write,
// then rewrite the lists, so that a failed call leaves the graph untouched.
#include "merge.hpp"

#include <algorithm>
#include <vector>

#include "id_sets.hpp"

namespace quill {

namespace {

// Fills `out` with the ids of `moved` that `held` lacks, each once, in `moved` order: what
// keep's list gains.  Both lists are stored links of `g`, hence node ids of it.
void missing(const Graph& g, std::span<const Idx> held, std::span<const Idx> moved,
             std::vector<Idx>& out) {
    out.clear();
    // Short lists are searched directly; long ones through a set, so that merging two
    // large nodes stays linear.  The usual merge, a few links a side, never builds one.
    constexpr std::size_t kScanLimit = ScanLimit::kBeforeBuiltSet;
    if (moved.size() <= kScanLimit && held.size() <= 4 * kScanLimit) {
        auto in = [](auto&& list, Idx id) { return std::find(list.begin(), list.end(), id) != list.end(); };
        for (Idx id : moved)
            if (!in(held, id) && !in(out, id)) out.push_back(id);
        return;
    }
    out.reserve(moved.size());
    NodeSet seen(g.size());
    for (Idx id : held) seen.insert(id);
    for (Idx id : moved) {
        if (seen.contains(id)) continue;
        seen.insert(id);
        out.push_back(id);
    }
}

// Fills `out` with the ids of a list, each once, in ascending order.
void distinct(std::span<const Idx> ids, std::vector<Idx>& out) {
    out.assign(ids.begin(), ids.end());
    if (out.size() < 2) return;
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
}

enum class Side { Upper, Lower };

// Tests one side before anything changes: `other`, then `keep` when there is something
// to move, then every moved op.
void check_side(const Graph& g, NodeId keep, NodeId other, Side side) {
    g.check(other);
    std::span<const Idx> moved = side == Side::Upper ? g.parents(other) : g.options(other);
    if (moved.empty()) return;
    g.check(keep);
    for (Idx op : moved) g.check(op);
}

// Takes every block the plan's writes need: keep's lists grow, and a moved option that
// is a value node keeps its parent in a side record, which may not exist yet.  With
// nothing to move, keep is not looked at (it may name no node).
void reserve_for(Graph& g, NodeId keep, MergePlan& plan) {
    if (!plan.moves_anything()) return;
    std::vector<Graph::Growth>& room = plan.room;
    room.clear();
    room.push_back(
        {.id = keep, .parents = plan.new_parents.size(), .options = plan.new_options.size()});
    for (Idx option : plan.reparented) {
        if (option == keep)
            room[0].parent = true;
        else if (!g.is_op(option))
            room.push_back({.id = option, .parent = true});
    }
    // Nothing to add anywhere (the usual glue step: keep has other's ops already, and the
    // moved options are ops, which keep their parent in the node): no room to take.
    if (room.size() == 1 && !room[0].parents && !room[0].options && !room[0].parent) return;
    g.make_room(room);
}

// Carries the plan out; with the room taken and every id checked, nothing here fails.
void rewrite(Graph& g, NodeId keep, NodeId other, MergeSides sides, const MergePlan& plan) {
    for (Idx op : plan.new_parents) g.push(keep, Field::Parents, op);
    for (Idx op : plan.rewritten)
        for (Idx& child : g.list_mut(op, Field::Children))
            if (child == other) child = Idx(keep);
    if (sides.upper) g.clear(other, Field::Parents);
    for (Idx option : plan.new_options) g.push(keep, Field::Options, option);
    for (Idx option : plan.reparented) g.set_parent(option, Idx(keep));
    if (sides.lower) g.clear(other, Field::Options);
}

}  // namespace

// Works out the writes of both sides before the first change.  The two sides read
// disjoint lists (the upper side writes keep's parents, other's parents and its ops'
// children; the lower side reads only the options of keep and other), so working both
// out first gives what doing them one after the other gives.  The upper side never
// touches `other`'s options, so both sides can be tested up front.
void plan_merge(const Graph& g, NodeId keep, NodeId other, MergeSides sides, MergePlan& plan) {
    plan.new_parents.clear();
    plan.rewritten.clear();
    plan.new_options.clear();
    plan.reparented.clear();
    if (keep == other) return;
    if (sides.upper) check_side(g, keep, other, Side::Upper);
    if (sides.lower) check_side(g, keep, other, Side::Lower);
    if (sides.upper && !g.parents(other).empty()) {
        missing(g, g.parents(keep), g.parents(other), plan.new_parents);
        // Rewriting is the same whether an op stands once or many times among the
        // parents, so each distinct op's children are rewritten once.
        distinct(g.parents(other), plan.rewritten);
    }
    if (sides.lower && !g.options(other).empty()) {
        missing(g, g.options(keep), g.options(other), plan.new_options);
        distinct(g.options(other), plan.reparented);
    }
}

void carry_out(Graph& g, NodeId keep, NodeId other, MergeSides sides, MergePlan& plan) {
    if (keep == other) return;
    reserve_for(g, keep, plan);
    rewrite(g, keep, other, sides, plan);
}

// Check, reserve, rewrite: every id that could fail is tested, and every block the merge
// needs is taken, before the first change, so that a failure (the out-of-range error, or
// std::bad_alloc) leaves the graph as it was.
void merge_value_nodes(Graph& g, NodeId keep, NodeId other, MergeSides sides) {
    if (keep == other) return;
    MergePlan plan;
    plan_merge(g, keep, other, sides, plan);
    carry_out(g, keep, other, sides, plan);
}

}  // namespace quill
