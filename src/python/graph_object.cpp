#include "graph_object.hpp"

#include <new>

#include "errors.hpp"
#include "signature.hpp"

namespace quillpy {

// The method table and its descriptions live with the method implementations.
extern PyMethodDef graph_methods[];
extern const Sig* const graph_method_sigs[];

namespace {

constexpr Sig new_sig{"__new__", "CoreGraph", nullptr, 0, Borrow::None};

// A new object holding `g` (moved in).
PyObject* alloc_graph(PyTypeObject* type, quill::Graph&& g) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    GraphObject* o = reinterpret_cast<GraphObject*>(self);
    new (&o->borrow) std::atomic<std::intptr_t>(0);
    new (&o->graph) quill::Graph(std::move(g));
    return self;
}

PyObject* graph_new_body(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > 0) {
        too_many_positional(new_sig, nargs);
        return nullptr;
    }
    if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        PyDict_Next(kwargs, &pos, &key, &value);
        unexpected_keyword(new_sig, key);
        return nullptr;
    }
    return alloc_graph(type, quill::Graph());
}

PyObject* graph_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    try {
        return graph_new_body(type, args, kwargs);
    } catch (...) {  // a message that could not be built
        return translate_exception();
    }
}

void graph_dealloc(PyObject* self) {
    GraphObject* g = reinterpret_cast<GraphObject*>(self);
    g->graph.~Graph();
    Py_TYPE(self)->tp_free(self);
}

}  // namespace

PyTypeObject GraphType = {
    PyVarObject_HEAD_INIT(nullptr, 0)
    "CoreGraph",  // tp_name: no module prefix
};

bool ready_graph_type() {
    if (GraphType.tp_flags & Py_TPFLAGS_READY) return true;
    attach_docs(graph_methods, graph_method_sigs);
    GraphType.tp_basicsize = sizeof(GraphObject);
    GraphType.tp_itemsize = 0;
    GraphType.tp_dealloc = graph_dealloc;
    // Not an acceptable base type; no __dict__, no weak references.
    GraphType.tp_flags = Py_TPFLAGS_DEFAULT;
    GraphType.tp_doc = "CoreGraph()\n--\n\n";
    GraphType.tp_methods = graph_methods;
    GraphType.tp_new = graph_new;
    return PyType_Ready(&GraphType) == 0;
}

PyObject* wrap_graph(quill::Graph&& g) { return alloc_graph(&GraphType, std::move(g)); }

bool fail_shared_borrow() {
    PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    return false;
}

bool fail_exclusive_borrow() {
    PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    return false;
}

}  // namespace quillpy
