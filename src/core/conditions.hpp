// Condition analysis: which leaves an op's conditions select, over trees of ops.
//
// leaf_counts     the leaf edges of the analysis and the per-call memo of leaf counts
// combinations    the combination step and the callable update
// tree_conditions the conditions of the tree below a node
// node_conditions the conditions of a value node: translation to distinct leaves, pruning
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "flat_lists.hpp"
#include "graph.hpp"

namespace quill {

using Condition = std::vector<std::uint64_t>;
using Conditions = std::vector<Condition>;

struct OpInfo {
    Conditions conditions;
    bool has_callable = false;
    bool cumulative = false;
};

// Op id (or a callable's val_id) to its description; only ever looked up by key.
using OpCache = std::unordered_map<std::uint32_t, OpInfo>;

struct ConditionOptions {
    // Every op takes its conditions from _update_callable_conditions, so that an op with a
    // callable adopts the callable's conditions.
    bool adopt_for_callable = false;
};

// Conditions kept flat: the result of a search that can produce millions of them.
using FlatConditions = FlatLists<std::uint64_t>;

// Every way of picking one condition per child, shifted by the child's offset.
FlatConditions condition_combinations_internal(std::vector<Conditions> by_child,
                                               std::vector<std::uint64_t> offsets);
// An op's own conditions, or those of its callable moved into the op's child positions.
Conditions _update_callable_conditions(const Graph& g, NodeId node, const OpCache& cache);
// The conditions of the tree below a node, as positions in its leaf sequence.
Conditions _tree_conditions(const Graph& g, NodeId node, const OpCache& cache,
                            ConditionOptions opts);
// The conditions of a value node as sorted indices of its distinct leaves, pruned.
Conditions get_conditions(const Graph& g, NodeId node, const OpCache& cache,
                          ConditionOptions opts);

}  // namespace quill
