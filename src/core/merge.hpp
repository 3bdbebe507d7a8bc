// Folding one value node into another.
#pragma once

#include <vector>

#include "graph.hpp"

namespace quill {

// Which links of `other` move over to `keep`: `upper` its parents (the ops that take it
// as a child take `keep` instead), `lower` its options (they become options of `keep`).
struct MergeSides {
    bool upper = false;
    bool lower = false;
};

// Everything a merge writes, worked out from the graph as it stands.  A caller that merges
// again and again (the gluing search) keeps one plan and hands it to every merge, so that
// its buffers are reused and a merge of a few links allocates nothing.
struct MergePlan {
    std::vector<Idx> new_parents;  // other's parents that keep's parents gain
    std::vector<Idx> rewritten;    // distinct ops whose children name other, to name keep
    std::vector<Idx> new_options;  // other's options that keep's options gain
    std::vector<Idx> reparented;   // distinct options of other, to have keep as parent
    std::vector<Graph::Growth> room;  // what the writes add to each node (carry_out's)

    bool moves_anything() const { return !rewritten.empty() || !reparented.empty(); }
};

// The lists the merge writes are exactly these, each at most once: keep's parents when
// new_parents is not empty, other's parents when `upper` and it has any, the children of
// each op of `rewritten`; keep's options when new_options is not empty, other's options
// when `lower` and it has any, the parent of each node of `reparented`.

// Tests every id that could fail (`other`, then `keep` when there is something to move,
// then every moved op, upper side first) and works out the writes into `plan`.  Changes
// nothing; keep == other plans nothing.
void plan_merge(const Graph& g, NodeId keep, NodeId other, MergeSides sides, MergePlan& plan);

// Takes every block the plan needs, then carries it out: `plan` must come from plan_merge
// on g as it is now.  Throws std::bad_alloc with g as it was, or changes it completely.
void carry_out(Graph& g, NodeId keep, NodeId other, MergeSides sides, MergePlan& plan);

// Fails with the out-of-range message, leaving the graph as it was, for an `other` that
// names no node (when a side is moved) or a `keep` that names none (when there is
// something to move).
void merge_value_nodes(Graph& g, NodeId keep, NodeId other, MergeSides sides);

}  // namespace quill
