// The CoreGraph methods: one description each (name, parameters with their kinds and
// defaults, borrow), and the thin wrappers that call the core operations.
#include <iterator>
#include <span>

#include "binder.hpp"
#include "clone.hpp"
#include "convert.hpp"
#include "cross_sections.hpp"
#include "hash.hpp"
#include "merge.hpp"
#include "reach.hpp"
#include "traces.hpp"
#include "walk.hpp"

namespace quillpy {

namespace {

constexpr Kind Id = Kind::Id, U32 = Kind::U32, Bool = Kind::Bool, IdList = Kind::IdList,
               GraphArg = Kind::Graph;

#define QN_SIG(NAME, BORROW, ...)                                                        \
    constexpr Param NAME##_params[] = {__VA_ARGS__};                                     \
    constexpr Sig NAME##_sig{#NAME, "CoreGraph", NAME##_params, std::size(NAME##_params), \
                             Borrow::BORROW};
#define QN_SIG0(NAME, BORROW) constexpr Sig NAME##_sig{#NAME, "CoreGraph", nullptr, 0, Borrow::BORROW};
// The same for operations that run no Python code (scalar result, no polling).
#define QN_SCALAR(NAME, BORROW, ...)                                                     \
    constexpr Param NAME##_params[] = {__VA_ARGS__};                                     \
    constexpr Sig NAME##_sig{#NAME, "CoreGraph", NAME##_params, std::size(NAME##_params), \
                             Borrow::BORROW, true};
#define QN_SCALAR0(NAME, BORROW) \
    constexpr Sig NAME##_sig{#NAME, "CoreGraph", nullptr, 0, Borrow::BORROW, true};

// ---- the descriptions, in method-table order ----
QN_SCALAR(set_root, Exclusive, {"node_id", Id})
QN_SCALAR0(get_root, Shared)
QN_SIG(walk_from_root, Shared, {"above", Bool}, {"below", Bool})
QN_SCALAR(add_value_with_payload, Exclusive, {"val_id", U32}, {"type_id", U32})
QN_SCALAR(add_op_with_payload, Exclusive, {"op_id", U32})
QN_SCALAR(connect_value_to_op, Exclusive, {"val", Id}, {"op", Id})
QN_SCALAR(connect_op_to_value, Exclusive, {"op", Id}, {"val", Id})
QN_SIG(get_children, Shared, {"node_id", Id})
QN_SIG(get_parents, Shared, {"node_id", Id})
QN_SIG(get_options, Shared, {"node_id", Id})
QN_SIG(neighbors, Shared, {"id", Id})
QN_SIG0(leaves, Shared)
QN_SCALAR(get_parent, Shared, {"node_id", Id})
QN_SCALAR(is_value_node, Shared, {"node_id", Id})
QN_SIG(get_value_payload, Shared, {"node_id", Id})
QN_SCALAR(get_op_id, Shared, {"node_id", Id})
QN_SCALAR0(num_nodes, Shared)
QN_SIG(nodes, Shared, {"val_nodes", Bool}, {"op_nodes", Bool})
QN_SIG(walk, Shared, {"start_id", Id}, {"above", Bool, "True"}, {"below", Bool, "True"})
QN_SIG0(clone_subgraph, Shared)
QN_SIG(merge_value_nodes, Exclusive, {"keep", Id}, {"other", Id}, {"upper", Bool}, {"lower", Bool})
QN_SIG0(connection_hash, Shared)
QN_SIG0(connections, Shared)
QN_SIG0(equality_hash, Shared)
QN_SCALAR(same_spec, Shared, {"a", Id}, {"b", Id})
QN_SIG(clone_and_attach, Shared, {"elem", GraphArg}, {"root_leaf_id", Id})
QN_SIG(traces, Shared, {"start_id", Id}, {"me_too", Bool, "True"}, {"op_nodes", Bool, "True"},
       {"val_nodes", Bool, "True"}, {"above", Bool, "True"}, {"below", Bool, "False"})
QN_SIG(is_below, Shared, {"start_id", Id}, {"nodes", IdList}, {"include_self", Bool, "True"},
       {"skip", IdList, "..."})
QN_SIG(cross_sections, Shared, {"target_leaf", Id}, {"leaves", IdList})

// ---- helpers ----
PyObject* idx_list(std::span<const quill::Idx> ids) {
    return build_list(ids.size(), [&](std::size_t i) { return PyLong_FromUnsignedLong(ids[i]); });
}

// (new graph, {old id: new id}) for a copy.  The keys go in ascending old-id order,
// which fills the dictionary faster than discovery order (the key order is not part of
// the result).
PyObject* clone_to_py(quill::Clone&& c) {
    PyObject* dict = _PyDict_NewPresized(Py_ssize_t(c.corr.to_old.size()));
    if (!dict) return nullptr;
    const std::vector<quill::Idx>& to_new = c.corr.to_new;
    for (std::size_t old = 0; old < to_new.size(); ++old) {
        if (to_new[old] == quill::kNone) continue;
        PyObject* k = PyLong_FromSize_t(old);
        PyObject* v = k ? PyLong_FromUnsignedLong(to_new[old]) : nullptr;
        int rc = v ? PyDict_SetItem(dict, k, v) : -1;
        Py_XDECREF(k);
        Py_XDECREF(v);
        if (rc < 0) {
            Py_DECREF(dict);
            return nullptr;
        }
    }
    PyObject* graph = wrap_graph(std::move(c.graph));
    if (!graph) {
        Py_DECREF(dict);
        return nullptr;
    }
    PyObject* out = PyTuple_Pack(2, graph, dict);
    Py_DECREF(graph);
    Py_DECREF(dict);
    return out;
}

// ---- construction ----
PyObject* set_root_impl(Call& c) {
    c.g_mut().root_id = c.v[0].u;
    return py_none();
}
PyObject* get_root_impl(Call& c) { return py_u64(c.g().root_id); }
PyObject* add_value_with_payload_impl(Call& c) {
    return py_u64(c.g_mut().add_value(std::uint32_t(c.v[0].u), std::uint32_t(c.v[1].u)));
}
PyObject* add_op_with_payload_impl(Call& c) {
    return py_u64(c.g_mut().add_op(std::uint32_t(c.v[0].u)));
}
PyObject* connect_value_to_op_impl(Call& c) {
    c.g_mut().connect_value_to_op(c.v[0].u, c.v[1].u);
    return py_none();
}
PyObject* connect_op_to_value_impl(Call& c) {
    c.g_mut().connect_op_to_value(c.v[0].u, c.v[1].u);
    return py_none();
}

// ---- per-node queries ----
PyObject* get_children_impl(Call& c) {
    c.g().check(c.v[0].u);
    return idx_list(c.g().children(c.v[0].u));
}
PyObject* get_parents_impl(Call& c) {
    c.g().check(c.v[0].u);
    return idx_list(c.g().parents(c.v[0].u));
}
PyObject* get_options_impl(Call& c) {
    c.g().check(c.v[0].u);
    return idx_list(c.g().options(c.v[0].u));
}
PyObject* neighbors_impl(Call& c) { return id_list_to_py(quill::neighbors(c.g(), c.v[0].u)); }
PyObject* get_parent_impl(Call& c) {
    const quill::Graph& g = c.g();
    g.check(c.v[0].u);
    quill::Idx p = g.parent(c.v[0].u);
    if (p == quill::kNone) return py_none();
    return PyLong_FromUnsignedLong(p);
}
PyObject* is_value_node_impl(Call& c) {
    c.g().check(c.v[0].u);
    return py_bool(!c.g().is_op(c.v[0].u));
}
PyObject* get_value_payload_impl(Call& c) {
    const quill::Graph& g = c.g();
    quill::NodeId id = c.v[0].u;
    g.check(id);
    if (g.is_op(id)) return py_none();
    return Py_BuildValue("(kk)", (unsigned long)g.val_id(id), (unsigned long)g.type_id(id));
}
PyObject* get_op_id_impl(Call& c) {
    const quill::Graph& g = c.g();
    g.check(c.v[0].u);
    if (!g.is_op(c.v[0].u)) return py_none();
    return PyLong_FromUnsignedLong(g.op_id(c.v[0].u));
}

// ---- whole-graph queries ----
PyObject* num_nodes_impl(Call& c) { return py_u64(c.g().size()); }
PyObject* nodes_impl(Call& c) {
    const quill::Graph& g = c.g();
    const bool vals = c.v[0].b, ops = c.v[1].b;
    std::vector<std::uint64_t> out;
    if (vals || ops) {
        for (std::uint64_t i = 0; i < g.size(); ++i)
            if (g.is_op(i) ? ops : vals) out.push_back(i);
    }
    return id_list_to_py(out);
}
PyObject* leaves_impl(Call& c) { return id_list_to_py(quill::leaves(c.g())); }
PyObject* connections_impl(Call& c) {
    auto pairs = quill::connections(c.g());
    return build_list(pairs.size(), [&](std::size_t i) {
        return Py_BuildValue("(KK)", (unsigned long long)pairs[i].first,
                             (unsigned long long)pairs[i].second);
    });
}

// ---- walks ----
PyObject* walk_from_root_impl(Call& c) {
    const quill::Graph& g = c.g();
    if (!g.valid(g.root_id)) {
        PyErr_SetString(PyExc_ValueError, "Graph has no valid root_id set");
        return nullptr;
    }
    return id_list_to_py(quill::walk(g, g.root_id, {.above = c.v[0].b, .below = c.v[1].b}));
}
PyObject* walk_impl(Call& c) {
    return id_list_to_py(quill::walk(c.g(), c.v[0].u, {.above = c.v[1].b, .below = c.v[2].b}));
}

// ---- traces, reachability, cross sections ----
PyObject* traces_impl(Call& c) {
    auto found = quill::traces(c.g(), c.v[0].u,
                               {.me_too = c.v[1].b, .op_nodes = c.v[2].b, .val_nodes = c.v[3].b,
                                .above = c.v[4].b, .below = c.v[5].b});
    return build_list(found.size(), [&](std::size_t i) { return id_list_to_py(found[i]); });
}
PyObject* is_below_impl(Call& c) {
    return py_bool(quill::is_below(c.g(), c.v[0].u, c.v[1].list(),
                                   {.include_self = c.v[2].b, .skip = c.v[3].list()}));
}
PyObject* cross_sections_impl(Call& c) {
    auto cuts = quill::cross_sections_internal(c.g(), c.v[0].u, c.v[1].list());
    return build_list(cuts.size(), [&](std::size_t i) -> PyObject* {
        PyObject* members = id_list_to_py(cuts[i].first);
        if (!members) return nullptr;
        return Py_BuildValue("(NK)", members, (unsigned long long)cuts[i].second);
    });
}

// ---- hashing, comparison, merging ----
PyObject* connection_hash_impl(Call& c) { return py_u64(quill::connection_hash(c.g())); }
PyObject* equality_hash_impl(Call& c) { return py_u64(quill::equality_hash(c.g())); }
PyObject* same_spec_impl(Call& c) { return py_bool(quill::same_spec(c.g(), c.v[0].u, c.v[1].u)); }
PyObject* merge_value_nodes_impl(Call& c) {
    quill::merge_value_nodes(c.g_mut(), c.v[0].u, c.v[1].u, {.upper = c.v[2].b, .lower = c.v[3].b});
    return py_none();
}

// ---- copies ----
PyObject* clone_subgraph_impl(Call& c) { return clone_to_py(quill::clone_subgraph(c.g())); }
PyObject* clone_and_attach_impl(Call& c) {
    quill::Attached a = quill::clone_and_attach(c.g(), c.v[0].graph()->graph, c.v[1].u);
    PyObject* attached = id_list_to_py(a.attached_leaves);
    PyObject* remaining = attached ? id_list_to_py(a.remaining_leaves) : nullptr;
    PyObject* graph = remaining ? wrap_graph(std::move(a.graph)) : nullptr;
    PyObject* out = graph ? PyTuple_Pack(3, graph, attached, remaining) : nullptr;
    Py_XDECREF(attached);
    Py_XDECREF(remaining);
    Py_XDECREF(graph);
    return out;
}

}  // namespace

// The method table, in this order.
#define QN_METHODS(X) \
    X(set_root) \
    X(get_root) \
    X(walk_from_root) \
    X(add_value_with_payload) \
    X(add_op_with_payload) \
    X(connect_value_to_op) \
    X(connect_op_to_value) \
    X(get_children) \
    X(get_parents) \
    X(get_options) \
    X(neighbors) \
    X(leaves) \
    X(get_parent) \
    X(is_value_node) \
    X(get_value_payload) \
    X(get_op_id) \
    X(num_nodes) \
    X(nodes) \
    X(walk) \
    X(clone_subgraph) \
    X(merge_value_nodes) \
    X(connection_hash) \
    X(connections) \
    X(equality_hash) \
    X(same_spec) \
    X(clone_and_attach) \
    X(traces) \
    X(is_below) \
    X(cross_sections)

QN_TABLES(QN_METHODS, graph_methods, graph_method_sigs)

}  // namespace quillpy
