// Condition analysis: which leaves an op's conditions select, over trees of ops.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

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

Conditions condition_combinations_internal(std::vector<Conditions> by_child,
                                           std::vector<std::uint64_t> offsets);
Conditions _update_callable_conditions(const Graph& g, NodeId node, const OpCache& cache);
Conditions _tree_conditions(const Graph& g, NodeId node, const OpCache& cache, bool adopt);
Conditions get_conditions(const Graph& g, NodeId node, const OpCache& cache, bool adopt);

}  // namespace quill
