// What the files of the condition analysis share: the combination step, the callable
// update, the tree analysis with counts shared with its caller, and the condition lists
// that stand for "none" and "one empty condition".
#pragma once

#include <cstdint>
#include <vector>

#include "conditions.hpp"
#include "leaf_counts.hpp"

namespace quill {

inline const Conditions kNoConditions;
inline const Conditions kOneEmpty{Condition{}};

// Appends to `out` every way of picking one condition per list, child i's pick shifted
// by shifts[i].  Lists at index `shifts.size()` and beyond take part in the enumeration
// but not in the result.
void combine_into(Conditions& out, const std::vector<const Conditions*>& lists,
                  const std::vector<std::uint64_t>& shifts, Poll& poll);

// An op's own conditions, or those of its callable moved into its child positions.
// `node` must be valid.
Conditions update_callable(const Graph& g, NodeId node, const OpCache& cache, Poll& poll);

// The tree conditions of `node` (valid), with leaf counts shared with the caller.
Conditions tree_conditions_with(const Graph& g, NodeId node, const OpCache& cache,
                                ConditionOptions opts, LeafCounts& counts, Poll& poll);

}  // namespace quill
