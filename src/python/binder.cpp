#include "binder.hpp"

#include <deque>

#include "convert.hpp"

namespace quillpy {

namespace {

// "CoreGraph.name()" for a method, "name()" for a module function.
std::string func_label(const Sig& sig) {
    std::string s;
    if (sig.owner) {
        s += sig.owner;
        s += '.';
    }
    s += sig.name;
    s += "()";
    return s;
}

std::size_t required_count(const Sig& sig) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < sig.count; ++i)
        if (!sig.params[i].default_text) ++n;
    return n;
}

void missing_required(const Sig& sig, PyObject** slots) {
    std::vector<const char*> names;
    for (std::size_t i = 0; i < sig.count; ++i)
        if (!slots[i] && !sig.params[i].default_text) names.push_back(sig.params[i].name);
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2)
                list += " and ";
            else if (i + 1 == names.size())
                list += ", and ";
            else
                list += ", ";
        }
        list += '\'';
        list += names[i];
        list += '\'';
    }
    std::string msg = func_label(sig) + " missing " + std::to_string(names.size()) +
                      " required positional " + (names.size() == 1 ? "argument" : "arguments") +
                      ": " + list;
    PyErr_SetString(PyExc_TypeError, msg.c_str());
}

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

void too_many_positional(const Sig& sig, Py_ssize_t given) {
    std::size_t req = required_count(sig);
    std::string msg = func_label(sig) + " takes ";
    if (req == sig.count)
        msg += std::to_string(sig.count);
    else
        msg += "from " + std::to_string(req) + " to " + std::to_string(sig.count);
    msg += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") +
           " given";
    PyErr_SetString(PyExc_TypeError, msg.c_str());
}

void unexpected_keyword(const Sig& sig, PyObject* keyword) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
                 func_label(sig).c_str(), keyword);
}

bool bind_args(const Sig& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** slots) {
    const std::size_t n = sig.count;
    if (std::size_t(nargs) > n) {
        too_many_positional(sig, nargs);
        return false;
    }
    for (std::size_t i = 0; i < n; ++i) slots[i] = i < std::size_t(nargs) ? args[i] : nullptr;
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            std::size_t found = n;
            for (std::size_t i = 0; i < n; ++i) {
                if (PyUnicode_Check(key) &&
                    PyUnicode_CompareWithASCIIString(key, sig.params[i].name) == 0) {
                    found = i;
                    break;
                }
            }
            if (found == n) {
                unexpected_keyword(sig, key);
                return false;
            }
            if (slots[found]) {
                PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                             func_label(sig).c_str(), sig.params[found].name);
                return false;
            }
            slots[found] = args[nargs + k];
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (!slots[i] && !sig.params[i].default_text) {
            missing_required(sig, slots);
            return false;
        }
    }
    return true;
}

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

std::string text_signature(const Sig& sig) {
    std::string s = sig.name;
    s += '(';
    bool first = true;
    if (sig.owner) {
        s += "$self";
        first = false;
    }
    for (std::size_t i = 0; i < sig.count; ++i) {
        if (!first) s += ", ";
        first = false;
        s += sig.params[i].name;
        if (sig.params[i].default_text) {
            s += '=';
            s += sig.params[i].default_text;
        }
    }
    s += ")\n--\n\n";
    return s;
}

void attach_docs(PyMethodDef* defs, const Sig* const* sigs) {
    static std::deque<std::string> storage;  // docs live as long as the process
    for (std::size_t i = 0; defs[i].ml_name; ++i) {
        storage.push_back(text_signature(*sigs[i]));
        defs[i].ml_doc = storage.back().c_str();
    }
}

bool fail_shared_borrow() {
    PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    return false;
}

bool fail_exclusive_borrow() {
    PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    return false;
}

}  // namespace quillpy
