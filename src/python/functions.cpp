// The module functions: one description each, in the order they are added to the module,
// and the wrappers, one per function and of the same name, that call the core.
#include <iterator>
#include <optional>

#include "binder.hpp"
#include "conditions.hpp"
#include "convert.hpp"
#include "error.hpp"
#include "glue.hpp"
#include "op_snapshot.hpp"

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

// The conditions as a new list.  When the build is interrupted, the native conditions
// (and the op cache, if any) are released after the exception has reached the caller.
template <class Found>
PyObject* conditions_result(Found&& found, OpCache* cache = nullptr) {
    ResultPoll poll;
    PyObject* out = id_lists_to_py(found, poll);
    if (!out && poll.interrupted()) {
        release_later(std::move(found));
        if (cache) release_later(std::move(*cache));
    }
    return out;
}

// The condition functions convert their arguments, build the op cache, and only then
// borrow the graph; a conflicting borrow at that point is an internal failure.
template <class Run>
PyObject* with_op_cache(UnborrowedGraph graph, PyObject* op_snapshot, Run&& run) {
    OpCache cache;
    if (!build_op_cache(op_snapshot, cache)) return nullptr;
    SharedBorrow borrow;
    if (!borrow.acquire(graph.obj)) return raise_panic("Already mutably borrowed: graph is being changed");
    Conditions found;
    try {
        found = run(graph.obj->graph, cache);
    } catch (const quill::Interrupted&) {
        release_later(std::move(cache));  // millions of conditions, as the caller gave them
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
