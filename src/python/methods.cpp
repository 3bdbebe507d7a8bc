// The CoreGraph methods: one description each (name, borrow, whether the call stays
// scalar, parameters with their kinds and defaults), in method-table order, and the thin
// wrappers, one per method and of the same name, that call the core operations.
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

#define QN_METHODS(X)                                                                      \
    X(set_root, Exclusive, Scalar, {"node_id", Id})                                        \
    X(get_root, Shared, Scalar)                                                            \
    X(walk_from_root, Shared, General, {"above", Bool}, {"below", Bool})                   \
    X(add_value_with_payload, Exclusive, Scalar, {"val_id", U32}, {"type_id", U32})        \
    X(add_op_with_payload, Exclusive, Scalar, {"op_id", U32})                              \
    X(connect_value_to_op, Exclusive, Scalar, {"val", Id}, {"op", Id})                     \
    X(connect_op_to_value, Exclusive, Scalar, {"op", Id}, {"val", Id})                     \
    X(get_children, Shared, General, {"node_id", Id})                                      \
    X(get_parents, Shared, General, {"node_id", Id})                                       \
    X(get_options, Shared, General, {"node_id", Id})                                       \
    X(neighbors, Shared, General, {"id", Id})                                              \
    X(leaves, Shared, General)                                                             \
    X(get_parent, Shared, Scalar, {"node_id", Id})                                         \
    X(is_value_node, Shared, Scalar, {"node_id", Id})                                      \
    X(get_value_payload, Shared, General, {"node_id", Id})                                 \
    X(get_op_id, Shared, Scalar, {"node_id", Id})                                          \
    X(num_nodes, Shared, Scalar)                                                           \
    X(nodes, Shared, General, {"val_nodes", Bool}, {"op_nodes", Bool})                     \
    X(walk, Shared, General, {"start_id", Id}, {"above", Bool, "True"},                    \
      {"below", Bool, "True"})                                                             \
    X(clone_subgraph, Shared, General)                                                     \
    X(merge_value_nodes, Exclusive, General, {"keep", Id}, {"other", Id}, {"upper", Bool}, \
      {"lower", Bool})                                                                     \
    X(connection_hash, Shared, General)                                                    \
    X(connections, Shared, General)                                                        \
    X(equality_hash, Shared, General)                                                      \
    X(same_spec, Shared, Scalar, {"a", Id}, {"b", Id})                                     \
    X(clone_and_attach, Shared, General, {"elem", GraphArg}, {"root_leaf_id", Id})         \
    X(traces, Shared, General, {"start_id", Id}, {"me_too", Bool, "True"},                 \
      {"op_nodes", Bool, "True"}, {"val_nodes", Bool, "True"}, {"above", Bool, "True"},    \
      {"below", Bool, "False"})                                                            \
    X(is_below, Shared, General, {"start_id", Id}, {"nodes", IdList},                      \
      {"include_self", Bool, "True"}, {"skip", IdList, "..."})                             \
    X(cross_sections, Shared, General, {"target_leaf", Id}, {"leaves", IdList})

namespace quillpy {

namespace {

using quill::Graph;

// ---- helpers ----
PyObject* idx_list(std::span<const quill::Idx> ids) {
    return build_list(ids.size(), [&](std::size_t i) { return PyLong_FromUnsignedLong(ids[i]); });
}

// An empty dict with room for n entries.  The private presized constructor is kept where
// it is known to exist: with PyDict_New instead, clone_subgraph() of a 100,000-node tree
// took 4.4% longer (both builds loaded in one process, calls interleaved, best of 31,
// three runs; no difference measurable at 1,000,000 nodes).
PyObject* dict_with_room(std::size_t n) {
#if PY_VERSION_HEX < 0x030E0000
    return _PyDict_NewPresized(Py_ssize_t(n));
#else
    (void)n;
    return PyDict_New();
#endif
}

// (new graph, {old id: new id}) for a copy.  The keys go in ascending old-id order,
// which fills the dictionary faster than discovery order (the key order is not part of
// the result).
PyObject* clone_to_py(quill::Clone&& c) {
    PyObject* dict = dict_with_room(c.corr.to_old.size());
    if (!dict) return nullptr;
    ResultPoll poll;
    bool filled;
    try {  // listing a sparse correspondence in order takes a block
        filled = c.corr.for_each_ascending([&](quill::NodeId old, quill::NodeId now) {
            if (!poll.step()) return false;
            PyObject* k = PyLong_FromSize_t(std::size_t(old));
            PyObject* v = k ? PyLong_FromUnsignedLong((unsigned long)now) : nullptr;
            const bool stored = v && PyDict_SetItem(dict, k, v) == 0;
            Py_XDECREF(k);
            Py_XDECREF(v);
            return stored;
        });
    } catch (...) {
        Py_DECREF(dict);
        throw;
    }
    if (!filled) {
        poll.release(dict);
        return nullptr;
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
PyObject* set_root(Graph& g, NodeId node_id) {
    g.root_id = node_id;
    return py_none();
}
PyObject* get_root(const Graph& g) { return py_u64(g.root_id); }
// The new node's id is the node count before the add.  Its int is made first: when that
// allocation fails the graph has not changed, so a caller that retries after a
// MemoryError gets one node, not two.
template <class Add>
PyObject* add_node(Graph& g, Add&& add) {
    PyObject* id = py_u64(g.size());
    if (!id) return nullptr;
    try {
        add();
    } catch (...) {
        Py_DECREF(id);  // an int: freeing it runs no Python code
        throw;
    }
    return id;
}
PyObject* add_value_with_payload(Graph& g, std::uint32_t val_id, std::uint32_t type_id) {
    return add_node(g, [&] { g.add_value(val_id, type_id); });
}
PyObject* add_op_with_payload(Graph& g, std::uint32_t op_id) {
    return add_node(g, [&] { g.add_op(op_id); });
}
PyObject* connect_value_to_op(Graph& g, NodeId val, NodeId op) {
    g.connect_value_to_op(val, op);
    return py_none();
}
PyObject* connect_op_to_value(Graph& g, NodeId op, NodeId val) {
    g.connect_op_to_value(op, val);
    return py_none();
}

// ---- per-node queries ----
PyObject* get_children(const Graph& g, NodeId node_id) {
    g.check(node_id);
    return idx_list(g.children(node_id));
}
PyObject* get_parents(const Graph& g, NodeId node_id) {
    g.check(node_id);
    return idx_list(g.parents(node_id));
}
PyObject* get_options(const Graph& g, NodeId node_id) {
    g.check(node_id);
    return idx_list(g.options(node_id));
}
// Options, parents, parent and children, built straight from the four parts at the
// list's final size: no native copy of the ids first, one pass as for get_children.
PyObject* neighbors(const Graph& g, NodeId id) {
    g.check(id);
    const quill::Idx parent = g.parent(id);
    const std::span<const quill::Idx> parts[] = {
        g.options(id), g.parents(id),
        std::span<const quill::Idx>(&parent, parent == quill::kNone ? 0 : 1), g.children(id)};
    std::size_t total = 0;
    for (const auto& part : parts) total += part.size();
    std::size_t part = 0, at = 0;
    return build_list(total, [&](std::size_t) {
        while (at == parts[part].size()) {
            ++part;
            at = 0;
        }
        return PyLong_FromUnsignedLong(parts[part][at++]);
    });
}
PyObject* get_parent(const Graph& g, NodeId node_id) {
    g.check(node_id);
    quill::Idx p = g.parent(node_id);
    if (p == quill::kNone) return py_none();
    return PyLong_FromUnsignedLong(p);
}
PyObject* is_value_node(const Graph& g, NodeId node_id) {
    g.check(node_id);
    return py_bool(!g.is_op(node_id));
}
PyObject* get_value_payload(const Graph& g, NodeId node_id) {
    g.check(node_id);
    if (g.is_op(node_id)) return py_none();
    // Built directly: Py_BuildValue would parse its format string on every call.
    PyObject* val_id = PyLong_FromUnsignedLong(g.val_id(node_id));
    PyObject* type_id = val_id ? PyLong_FromUnsignedLong(g.type_id(node_id)) : nullptr;
    PyObject* payload = type_id ? PyTuple_New(2) : nullptr;
    if (!payload) {
        Py_XDECREF(val_id);
        Py_XDECREF(type_id);
        return nullptr;
    }
    PyTuple_SET_ITEM(payload, 0, val_id);
    PyTuple_SET_ITEM(payload, 1, type_id);
    return payload;
}
PyObject* get_op_id(const Graph& g, NodeId node_id) {
    g.check(node_id);
    if (!g.is_op(node_id)) return py_none();
    return PyLong_FromUnsignedLong(g.op_id(node_id));
}

// ---- whole-graph queries ----
PyObject* num_nodes(const Graph& g) { return py_u64(g.size()); }
// Both kinds: every id in order.  One kind: the ids are counted first, so that the list
// is built at its final size with no native copy of the ids; both passes poll, one step
// per node.
PyObject* nodes(const Graph& g, bool val_nodes, bool op_nodes) {
    ResultPoll poll;
    const NodeId n = g.size();
    if (val_nodes && op_nodes)
        return build_list(n, poll, [](std::size_t i) { return PyLong_FromSize_t(i); });
    std::size_t count = 0;
    if (val_nodes || op_nodes) {
        for (NodeId i = 0; i < n; ++i) {
            if (!poll.step()) return nullptr;
            count += (g.is_op(i) ? op_nodes : val_nodes) ? 1 : 0;
        }
    }
    NodeId next = 0;
    return build_list(count, poll, [&](std::size_t) {
        while (!(g.is_op(next) ? op_nodes : val_nodes)) ++next;
        return PyLong_FromUnsignedLongLong(next++);
    });
}
PyObject* leaves(const Graph& g) { return id_list_to_py(quill::leaves(g)); }
// The pairs as tuples of two ints.  Each position's int is made once, in a list of them
// all, and shared by every pair that names it: on the standard tree a position stands in
// four pairs (twice first, twice second), so a pair then costs its tuple and a quarter
// of an int instead of two ints, which is about what building the same tuples from
// ready ints costs.  (Which int objects the pairs share is not part of the result.)
PyObject* connections(const Graph& g) {
    std::uint64_t walked = 0;
    auto pairs = quill::connections(g, &walked);
    ResultPoll poll;
    // Untracked, the pairs still count as allocations towards the collector's next run;
    // a free-threaded build's collector then looks at every object of the heap, tracked
    // or not, so millions of pairs built with it running took minutes instead of a
    // fraction of a second.  With the lock the young collections stay cheap (they look
    // only at tracked objects), and pausing them would leave one large collection due
    // after the build.
#ifdef Py_GIL_DISABLED
    GcPause pause(pairs.size());
#endif
    // A lone root has no pair, and needs no int.
    PyObject* ints = build_list(pairs.empty() ? 0 : walked, poll,
                                [](std::size_t i) { return PyLong_FromSize_t(i); });
    if (!ints) return nullptr;
    PyObject* out = build_list(pairs.size(), poll, [&](std::size_t i) -> PyObject* {
        PyObject* pair = PyTuple_New(2);
        if (!pair) return nullptr;
        PyObject* from = PyList_GET_ITEM(ints, Py_ssize_t(pairs[i].first));
        PyObject* to = PyList_GET_ITEM(ints, Py_ssize_t(pairs[i].second));
        Py_INCREF(from);
        Py_INCREF(to);
        PyTuple_SET_ITEM(pair, 0, from);
        PyTuple_SET_ITEM(pair, 1, to);
        // A tuple of two ints can never be part of a cycle, so the collector need not
        // track it (it would untrack it on its first look anyway); tracked, the pairs of a
        // three-million-node tree made the collector walk millions of tuples during the
        // build and again once the caller let go of them.
        PyObject_GC_UnTrack(pair);
        return pair;
    });
    // Every pair holds its own references; an interrupted build queues the ints too.
    poll.release(ints);
    return out;
}

// ---- walks ----
PyObject* walk_from_root(const Graph& g, bool above, bool below) {
    if (!g.valid(g.root_id)) {
        PyErr_SetString(PyExc_ValueError, "Graph has no valid root_id set");
        return nullptr;
    }
    return id_list_to_py(quill::walk(g, g.root_id, {.above = above, .below = below}));
}
PyObject* walk(const Graph& g, NodeId start_id, bool above, bool below) {
    return id_list_to_py(quill::walk(g, start_id, {.above = above, .below = below}));
}

// ---- traces, reachability, cross sections ----
PyObject* traces(const Graph& g, NodeId start_id, bool me_too, bool op_nodes, bool val_nodes,
                 bool above, bool below) {
    auto found = quill::traces(g, start_id,
                                 {.me_too = me_too, .op_nodes = op_nodes, .val_nodes = val_nodes,
                                  .above = above, .below = below});
    ResultPoll poll;
    PyObject* out = id_lists_to_py(found, poll);
    if (!out && poll.interrupted()) release_later(std::move(found));
    return out;
}
PyObject* is_below(const Graph& g, NodeId start_id, std::span<const NodeId> nodes,
                   bool include_self, std::span<const NodeId> skip) {
    return py_bool(quill::is_below(g, start_id, nodes, {.include_self = include_self, .skip = skip}));
}
PyObject* cross_sections(const Graph& g, NodeId target_leaf, std::span<const NodeId> leaves) {
    auto cuts = quill::cross_sections_internal(g, target_leaf, leaves);
    GcPause pause(cuts.size());
    ResultPoll poll;
    PyObject* out = build_list(cuts.size(), poll, [&](std::size_t i) -> PyObject* {
        const auto [ids, height] = cuts[i];
        PyObject* members = id_list_to_py(ids, poll);
        if (!members) return nullptr;  // released by the build
        PyObject* height_int = PyLong_FromUnsignedLongLong(height);
        PyObject* cut = height_int ? PyTuple_New(2) : nullptr;
        if (!cut) {
            Py_DECREF(members);  // a list of ints: freeing it runs no Python code
            Py_XDECREF(height_int);
            return nullptr;
        }
        PyTuple_SET_ITEM(cut, 0, members);
        PyTuple_SET_ITEM(cut, 1, height_int);
        return cut;
    });
    if (!out && poll.interrupted()) release_later(std::move(cuts));
    return out;
}

// ---- hashing, comparison, merging ----
PyObject* connection_hash(const Graph& g) { return py_u64(quill::connection_hash(g)); }
PyObject* equality_hash(const Graph& g) { return py_u64(quill::equality_hash(g)); }
PyObject* same_spec(const Graph& g, NodeId a, NodeId b) { return py_bool(quill::same_spec(g, a, b)); }
PyObject* merge_value_nodes(Graph& g, NodeId keep, NodeId other, bool upper, bool lower) {
    quill::merge_value_nodes(g, keep, other, {.upper = upper, .lower = lower});
    return py_none();
}

// ---- copies ----
PyObject* clone_subgraph(const Graph& g) { return clone_to_py(quill::clone_subgraph(g)); }
PyObject* clone_and_attach(const Graph& g, const Graph& elem, NodeId root_leaf_id) {
    quill::Attached a = quill::clone_and_attach(g, elem, root_leaf_id);
    ResultPoll poll;
    PyObject* attached = id_list_to_py(a.attached_leaves, poll);
    PyObject* remaining = attached ? id_list_to_py(a.remaining_leaves, poll) : nullptr;
    PyObject* graph = remaining ? wrap_graph(std::move(a.graph)) : nullptr;
    PyObject* out = graph ? PyTuple_Pack(3, graph, attached, remaining) : nullptr;
    Py_XDECREF(graph);
    if (out) {
        Py_DECREF(attached);
        Py_DECREF(remaining);
        return out;
    }
    if (attached) poll.release(attached);  // a list of millions of leaves, say
    if (remaining) poll.release(remaining);
    return nullptr;
}

}  // namespace

QN_TABLE(QN_METHODS, graph_methods, graph_method_sigs)

}  // namespace quillpy
