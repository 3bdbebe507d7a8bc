// Module start-up: the CoreGraph class and the module functions, with __all__.
#include <Python.h>

#include <new>

#include "binder.hpp"
#include "error.hpp"
#include "errors.hpp"
#include "convert.hpp"
#include "graph_object.hpp"
#include "op_snapshot.hpp"

namespace quillpy {

extern PyMethodDef module_functions[];
extern const Sig* const module_function_sigs[];

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quillnet",
    "",       // an empty documentation string
    0,        // no per-module state; the init function runs again for each import
    nullptr,
};

PyObject* cached_module = nullptr;
PyInterpreterState* owner_interp = nullptr;

// Appends `name` to __all__ (creating it when missing), then sets the attribute.
bool add_public(PyObject* module, const char* name, PyObject* value) {
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (!all) {
        PyErr_Clear();
        all = PyList_New(0);
        if (!all || PyModule_AddObjectRef(module, "__all__", all) < 0) {
            Py_XDECREF(all);
            return false;
        }
    }
    PyObject* pyname = PyUnicode_FromString(name);
    const bool listed = pyname && PyList_Append(all, pyname) == 0;
    Py_XDECREF(pyname);
    Py_DECREF(all);
    if (!listed) return false;
    return PyModule_AddObjectRef(module, name, value) == 0;
}

// The C++ runtime keeps each thread's exception state (the caught-exception stack that
// __cxa_get_globals returns) in thread-local storage of the dynamically loaded C++
// library.  Such storage is given to a thread on its first use, by malloc from inside the
// dynamic loader, and when that allocation fails the loader ends the process ("cannot
// allocate memory for thread-local data").  A module whose first exception is the
// std::bad_alloc of an exhausted process would therefore abort instead of raising
// MemoryError.  One exception thrown and caught at import, while memory is available,
// sets that storage up for the importing thread (and takes the unwinder through its
// first-use path); the exception objects themselves come from malloc or, failing that,
// from the runtime's emergency pool, which never aborts.
//
// Other threads get that storage on their own first throw: a thread that first enters
// the module when memory is already exhausted can still end in that abort.  Warming it
// up on every call would cost each call a thread-local lookup, and would only move the
// allocation (and its abort) from the first throw to the first call.
[[gnu::noinline]] void throw_for_warm_up() { throw std::bad_alloc(); }

void warm_up_exception_state() noexcept {
    try {
        throw_for_warm_up();
    } catch (const std::bad_alloc&) {
    }
}

// The objects every call may read (the PanicException class, the interned names) are
// made here, once per process, so that the threads of a free-threaded build find them
// made and never race to make them.
bool ready_shared_objects() {
    return ready_panic_type() && intern_op_snapshot_keys() && intern_convert_names() &&
           intern_release_names();
}

PyObject* create_module() {
    warm_up_exception_state();
    if (!ready_shared_objects() || !ready_graph_type()) return nullptr;
    attach_docs(module_functions, module_function_sigs);
    PyObject* module = PyModule_Create(&module_def);
    if (!module) return nullptr;
    if (!add_public(module, "CoreGraph", reinterpret_cast<PyObject*>(&GraphType))) {
        Py_DECREF(module);
        return nullptr;
    }
    PyObject* modname = PyModule_GetNameObject(module);
    if (!modname) {
        Py_DECREF(module);
        return nullptr;
    }
    for (PyMethodDef* def = module_functions; def->ml_name; ++def) {
        PyObject* func = PyCFunction_NewEx(def, module, modname);
        bool ok = func && add_public(module, def->ml_name, func);
        Py_XDECREF(func);
        if (!ok) {
            Py_DECREF(modname);
            Py_DECREF(module);
            return nullptr;
        }
    }
    Py_DECREF(modname);
#ifdef Py_GIL_DISABLED
    // Every call is sound without the interpreter lock: the graph's borrow state is
    // atomic, the objects shared between calls are made above, and items of the
    // caller's lists and dicts are held by strong references (item_refs.hpp).  Without
    // this the interpreter turns the lock back on for the whole process at import.
    if (PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
#endif
    quill::set_cancel_hook(&check_signals);
    return module;
}

}  // namespace

}  // namespace quillpy

PyMODINIT_FUNC PyInit_quillnet(void) {
    using namespace quillpy;
    PyInterpreterState* interp = PyInterpreterState_Get();
    if (owner_interp && owner_interp != interp) {
        PyErr_SetString(PyExc_ImportError,
                        "quillnet does not support sub-interpreters: it can only be imported "
                        "once per process, in the main interpreter");
        return nullptr;
    }
    if (cached_module) {
        Py_INCREF(cached_module);
        return cached_module;
    }
    PyObject* module;
    try {
        module = create_module();
    } catch (...) {  // the docstrings could not be built
        return translate_exception();
    }
    if (!module) return nullptr;
    owner_interp = interp;
    cached_module = module;
    Py_INCREF(cached_module);
    return module;
}
