// The module functions: one description each, in the order they are added to the module,
// and the wrappers, one per function and of the same name, that call the core.
#include <algorithm>
#include <cstddef>
#include <iterator>
#include <optional>
#include <type_traits>

#include "binder.hpp"
#include "conditions.hpp"
#include "convert.hpp"
#include "error.hpp"
#include "glue.hpp"
#include "op_snapshot.hpp"
#include "release.hpp"

#define QN_FUNCTIONS(X)                                                                 \
    X(condition_combinations, None, General, {"conditions_by_child", CondsByChild},     \
      {"offset_list", IdList})                                                          \
    X(tree_conditions, None, General, {"graph", GraphLater}, {"node_id", Id},           \
      {"op_snapshot", Dict}, {"adopt_for_callable", Bool})                              \
    X(get_conditions, None, General, {"graph", GraphLater}, {"node_id", Id},            \
      {"op_snapshot", Dict}, {"adopt_for_callable", Bool})                              \
    X(update_callable_conditions, None, General, {"graph", GraphLater}, {"node_id", Id}, \
      {"op_snapshot", Dict})                                                            \
    X(glue_leaves, None, General, {"graph", GraphArg}, {"leaves", IdList},              \
      {"candidates", IdList}, {"trees_only", Bool}, {"max_leaves", OptId, "None"})

namespace quillpy {

namespace {

using quill::Conditions;
using quill::Graph;
using quill::OpCache;

// Lists of conditions hold one heap block per condition: freeing millions of them takes
// tens of milliseconds, longer than Ctrl-C may wait.  Whatever the call's outcome, a list
// of more than a piece of them goes to the release queue, which gives it back a piece at
// a time after the call has returned (or at the start of the next long call); a short
// one is freed at once.
bool conditions_piece(Conditions& c) {
    for (std::size_t n = 0; n < kNativePiece && !c.empty(); ++n) c.pop_back();
    return c.empty();
}
bool cache_piece(OpCache& cache) {
    for (std::size_t budget = kNativePiece; budget > 0 && !cache.empty();) {
        const auto entry = cache.begin();
        Conditions& c = entry->second.conditions;
        const std::size_t n = std::min(budget, c.size());
        c.erase(c.end() - std::ptrdiff_t(n), c.end());
        budget -= n;
        if (c.empty()) {
            cache.erase(entry);
            if (budget > 0) --budget;  // the entry's own block
        }
    }
    return cache.empty();
}
void release_conditions(Conditions&& c) {
    if (c.size() > kNativePiece) release_in_pieces<conditions_piece>(std::move(c));
}
void release_cache(OpCache&& cache) {
    std::size_t conditions = cache.size();
    for (const auto& entry : cache) conditions += entry.second.conditions.size();
    if (conditions > kNativePiece) release_in_pieces<cache_piece>(std::move(cache));
}

// The conditions as a new list.  The native conditions and the op cache are given back
// as above; flat conditions (a few large blocks) are freed at once, but after an
// interrupted build, when the exception has reached the caller.
template <class Found>
PyObject* conditions_result(Found&& found, OpCache* cache = nullptr) {
    ResultPoll poll;
    PyObject* out = id_lists_to_py(found, poll);
    if constexpr (std::is_same_v<std::remove_cvref_t<Found>, Conditions>) {
        release_conditions(std::move(found));
    } else if (!out && poll.interrupted()) {
        release_later(std::move(found));
    }
    if (cache) release_cache(std::move(*cache));
    return out;
}

// The condition functions convert their arguments, build the op cache, and only then
// borrow the graph; a conflicting borrow at that point is an internal failure.
template <class Run>
PyObject* with_op_cache(UnborrowedGraph graph, PyObject* op_snapshot, Run&& run) {
    OpCache cache;
    if (!build_op_cache(op_snapshot, cache)) {
        release_cache(std::move(cache));  // as much of the snapshot as was read
        return nullptr;
    }
    SharedBorrow borrow;
    if (!borrow.acquire(graph.obj)) {
        release_cache(std::move(cache));
        return raise_panic("Already mutably borrowed: graph is being changed");
    }
    Conditions found;
    try {
        found = run(graph.obj->graph, cache);
    } catch (...) {
        release_cache(std::move(cache));  // millions of conditions, as the caller gave them
        throw;
    }
    return conditions_result(std::move(found), &cache);
}
PyObject* condition_combinations(std::vector<Conditions>&& conditions_by_child,
                                 std::vector<NodeId>&& offset_list) {
    return conditions_result(
        quill::condition_combinations_internal(std::move(conditions_by_child), std::move(offset_list)));
}
PyObject* tree_conditions(UnborrowedGraph graph, NodeId node_id, PyObject* op_snapshot,
                          bool adopt_for_callable) {
    return with_op_cache(graph, op_snapshot, [&](const Graph& g, const OpCache& cache) {
        return quill::_tree_conditions(g, node_id, cache, {.adopt_for_callable = adopt_for_callable});
    });
}
PyObject* get_conditions(UnborrowedGraph graph, NodeId node_id, PyObject* op_snapshot,
                         bool adopt_for_callable) {
    return with_op_cache(graph, op_snapshot, [&](const Graph& g, const OpCache& cache) {
        return quill::get_conditions(g, node_id, cache, {.adopt_for_callable = adopt_for_callable});
    });
}
PyObject* update_callable_conditions(UnborrowedGraph graph, NodeId node_id, PyObject* op_snapshot) {
    return with_op_cache(graph, op_snapshot, [&](const Graph& g, const OpCache& cache) {
        return quill::_update_callable_conditions(g, node_id, cache);
    });
}
PyObject* glue_leaves(const Graph& graph, std::vector<NodeId>&& leaves,
                      std::vector<NodeId>&& candidates, bool trees_only,
                      std::optional<std::uint64_t> max_leaves) {
    std::vector<Graph> found =
        quill::glue_leaves(graph, std::move(leaves), std::move(candidates),
                           {.trees_only = trees_only, .max_leaves = max_leaves});
    return build_list(found.size(), [&](std::size_t i) { return wrap_graph(std::move(found[i])); });
}

}  // namespace

QN_TABLE(QN_FUNCTIONS, module_functions, module_function_sigs)

}  // namespace quillpy
