// The module functions: one description each, and the wrappers that call the core.
#include <iterator>

#include "binder.hpp"
#include "conditions.hpp"
#include "convert.hpp"
#include "glue.hpp"
#include "op_snapshot.hpp"

namespace quillpy {

namespace {

#define QN_FUNC(NAME, ...)                          \
    constexpr Param NAME##_params[] = {__VA_ARGS__}; \
    constexpr Sig NAME##_sig{#NAME, nullptr, NAME##_params, std::size(NAME##_params), Borrow::None};

// ---- the descriptions, in the order the functions are added to the module ----
QN_FUNC(condition_combinations, {"conditions_by_child", Kind::CondsByChild},
        {"offset_list", Kind::IdList})
QN_FUNC(tree_conditions, {"graph", Kind::GraphLater}, {"node_id", Kind::Id},
        {"op_snapshot", Kind::Dict}, {"adopt_for_callable", Kind::Bool})
QN_FUNC(get_conditions, {"graph", Kind::GraphLater}, {"node_id", Kind::Id},
        {"op_snapshot", Kind::Dict}, {"adopt_for_callable", Kind::Bool})
QN_FUNC(update_callable_conditions, {"graph", Kind::GraphLater}, {"node_id", Kind::Id},
        {"op_snapshot", Kind::Dict})
QN_FUNC(glue_leaves, {"graph", Kind::Graph}, {"leaves", Kind::IdList},
        {"candidates", Kind::IdList}, {"trees_only", Kind::Bool}, {"max_leaves", Kind::OptId, "None"})

// The condition functions convert their arguments, build the op cache, and only then
// borrow the graph; a conflicting borrow at that point is an internal failure.
template <class Run>
PyObject* with_op_cache(Call& c, Run&& run) {
    quill::OpCache cache;
    if (!build_op_cache(c.v[2].obj, cache)) return nullptr;
    GraphObject* graph = c.v[0].graph();
    SharedBorrow borrow;
    if (!borrow.acquire(graph)) return raise_panic("Already mutably borrowed: graph is being changed");
    return conditions_to_py(run(graph->graph, c.v[1].u, cache));
}

PyObject* condition_combinations_impl(Call& c) {
    return conditions_to_py(
        quill::condition_combinations_internal(std::move(c.v[0].nested()), std::move(c.v[1].list())));
}
PyObject* tree_conditions_impl(Call& c) {
    return with_op_cache(c, [&](const quill::Graph& g, quill::NodeId id, const quill::OpCache& cache) {
        return quill::_tree_conditions(g, id, cache, {.adopt_for_callable = c.v[3].b});
    });
}
PyObject* get_conditions_impl(Call& c) {
    return with_op_cache(c, [&](const quill::Graph& g, quill::NodeId id, const quill::OpCache& cache) {
        return quill::get_conditions(g, id, cache, {.adopt_for_callable = c.v[3].b});
    });
}
PyObject* update_callable_conditions_impl(Call& c) {
    return with_op_cache(c, [&](const quill::Graph& g, quill::NodeId id, const quill::OpCache& cache) {
        return quill::_update_callable_conditions(g, id, cache);
    });
}
PyObject* glue_leaves_impl(Call& c) {
    std::optional<std::uint64_t> max_leaves;
    if (c.v[4].b) max_leaves = c.v[4].u;
    std::vector<quill::Graph> found =
        quill::glue_leaves(c.v[0].graph()->graph, std::move(c.v[1].list()), std::move(c.v[2].list()),
                           {.trees_only = c.v[3].b, .max_leaves = max_leaves});
    return build_list(found.size(), [&](std::size_t i) { return wrap_graph(std::move(found[i])); });
}

}  // namespace

#define QN_FUNCTIONS(X)           \
    X(condition_combinations)     \
    X(tree_conditions)            \
    X(get_conditions)             \
    X(update_callable_conditions) \
    X(glue_leaves)

QN_TABLES(QN_FUNCTIONS, module_functions, module_function_sigs)

}  // namespace quillpy
