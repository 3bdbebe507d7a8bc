// Folding one value node into another.
//
// The ops above `other` (its parents) and/or the ops below it (its options) are moved
// over to `keep`, and the op side of each moved link is redirected.  Every id that could
// fail is tested before the first change, so a failed call leaves the graph untouched.
#include "merge.hpp"

#include <algorithm>
#include <unordered_set>
#include <vector>

namespace quill {

namespace {

// Appends to `dst` (keep's parents or options) each id of `moved` that the list does not
// hold yet, in `moved` order; ids appended earlier count as held.
template <class Push>
void append_missing(std::span<const Idx> existing, const std::vector<Idx>& moved, Push&& push) {
    // Short lists are searched directly; long ones through a set, so that merging two
    // large nodes stays linear.
    constexpr std::size_t kScanLimit = 16;
    if (moved.size() <= kScanLimit && existing.size() <= 4 * kScanLimit) {
        std::vector<Idx> held(existing.begin(), existing.end());
        for (Idx f : moved) {
            bool found = false;
            for (Idx h : held)
                if (h == f) {
                    found = true;
                    break;
                }
            if (!found) {
                held.push_back(f);
                push(f);
            }
        }
        return;
    }
    std::unordered_set<Idx> held(existing.begin(), existing.end());
    for (Idx f : moved)
        if (held.insert(f).second) push(f);
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

    if (upper) {
        const std::span<const Idx> src = g.parents(other);
        const std::vector<Idx> moved(src.begin(), src.end());
        if (!moved.empty()) {
            const std::span<const Idx> held = g.parents(keep);
            const std::vector<Idx> existing(held.begin(), held.end());
            append_missing(existing, moved, [&](Idx f) { g.push_parent(keep, f); });
            // Rewriting is the same whether an op stands once or many times among the
            // parents, so each distinct op's children are rewritten once.
            std::vector<Idx> ops = moved;
            std::sort(ops.begin(), ops.end());
            ops.erase(std::unique(ops.begin(), ops.end()), ops.end());
            for (Idx f : ops)
                for (Idx& c : g.children_mut(f))
                    if (c == other) c = Idx(keep);
        }
        g.clear_parents(other);
    }
    if (lower) {
        const std::span<const Idx> src = g.options(other);
        const std::vector<Idx> moved(src.begin(), src.end());
        if (!moved.empty()) {
            const std::span<const Idx> held = g.options(keep);
            const std::vector<Idx> existing(held.begin(), held.end());
            append_missing(existing, moved, [&](Idx f) { g.push_option(keep, f); });
            for (Idx f : moved) g.set_parent(f, Idx(keep));
        }
        g.clear_options(other);
    }
}

}  // namespace quill
