#include "binder.hpp"

#include "convert.hpp"

namespace quillpy {

namespace {

// Raises TypeError("argument '{name}': {message}") for the failed conversion `original`,
// with the original's cause.  A message that cannot be turned into text leaves the
// detail empty, except when turning it failed for want of memory or by an interruption
// (an exception that is not an Exception, KeyboardInterrupt say): that failure is what
// the caller sees, never a TypeError that hides it.
void raise_prefixed(const char* name, PyObject* original) {
    PyObject* text = original ? PyObject_Str(original) : nullptr;
    if (!text) {
        if (PyErr_Occurred() &&
            (PyErr_ExceptionMatches(PyExc_MemoryError) || !PyErr_ExceptionMatches(PyExc_Exception)))
            return;
        PyErr_Clear();
        text = PyUnicode_FromString("");
    }
    PyObject* cause = original ? PyException_GetCause(original) : nullptr;
    PyObject* fresh = text ? PyUnicode_FromFormat("argument '%s': %U", name, text) : nullptr;
    Py_XDECREF(text);
    PyObject* exc = fresh ? PyObject_CallOneArg(PyExc_TypeError, fresh) : nullptr;
    Py_XDECREF(fresh);
    if (!exc) {
        Py_XDECREF(cause);
        return;  // the failure to build the new error is what the caller sees
    }
    if (cause) PyException_SetCause(exc, cause);  // steals the reference
    PyErr_SetObject(PyExc_TypeError, exc);
    Py_DECREF(exc);
}

// Re-raises a failed conversion of argument `name`: a TypeError becomes the prefixed
// TypeError; anything else, a subclass of TypeError included, passes through unchanged.
void prefix_arg_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();
    if (Py_TYPE(exc) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(exc);
        return;
    }
    raise_prefixed(name, exc);
    Py_DECREF(exc);
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (type != PyExc_TypeError) {
        PyErr_Restore(type, value, tb);
        return;
    }
    PyErr_NormalizeException(&type, &value, &tb);
    if (type != PyExc_TypeError) {  // normalizing it failed (MemoryError): that is raised
        PyErr_Restore(type, value, tb);
        return;
    }
    raise_prefixed(name, value);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
#endif
}

// Runs one conversion (false with an exception set) and applies the argument-name rule
// to its failure.
template <class Convert>
bool named(const char* name, Convert&& convert) {
    if (convert()) return true;
    prefix_arg_error(name);
    return false;
}

bool is_graph_or_fail(PyObject* o) {
    if (is_graph(o)) return true;
    set_cast_error(o, "CoreGraph");
    return false;
}

}  // namespace

bool convert_arg(const char* name, PyObject* o, NodeId& out, SharedBorrow&) {
    return named(name, [&] { return to_id(o, out); });
}

bool convert_arg(const char* name, PyObject* o, std::uint32_t& out, SharedBorrow&) {
    return named(name, [&] { return to_u32(o, out); });
}

bool convert_arg(const char* name, PyObject* o, bool& out, SharedBorrow&) {
    return named(name, [&] { return to_bool(o, out); });
}

bool convert_arg(const char* name, PyObject* o, std::vector<NodeId>& out, SharedBorrow&) {
    return named(name, [&] { return to_id_list(o, out); });
}

bool convert_arg(const char* name, PyObject* o, GraphObject*& out, SharedBorrow& graph_borrow) {
    return named(name, [&] {
        if (!is_graph_or_fail(o)) return false;
        out = reinterpret_cast<GraphObject*>(o);
        return graph_borrow.acquire(out) || fail_shared_borrow();
    });
}

bool convert_arg(const char* name, PyObject* o, UnborrowedGraph& out, SharedBorrow&) {
    return named(name, [&] {
        if (!is_graph_or_fail(o)) return false;
        out.obj = reinterpret_cast<GraphObject*>(o);
        return true;
    });
}

bool convert_arg(const char* name, PyObject* o, std::optional<std::uint64_t>& out, SharedBorrow&) {
    return named(name, [&] {
        if (o == Py_None) {
            out.reset();
            return true;
        }
        return to_id(o, out.emplace());
    });
}

bool convert_arg(const char* name, PyObject* o, PyObject*& out, SharedBorrow&) {
    return named(name, [&] {
        if (!PyDict_Check(o)) {
            set_cast_error(o, "dict");
            return false;
        }
        out = o;
        return true;
    });
}

bool convert_arg(const char* name, PyObject* o, std::vector<quill::Conditions>& out, SharedBorrow&) {
    return named(name, [&] { return to_conditions_by_child(o, out); });
}

}  // namespace quillpy
