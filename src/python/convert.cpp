#include "convert.hpp"

#include <cstring>
#include <new>
#include <stdexcept>

#include "errors.hpp"
#include "item_refs.hpp"

namespace quillpy {

namespace {

// Runs `f` (which returns false with a Python exception set on failure) and turns a C++
// exception from growing native storage into the matching Python exception, so that the
// caller's references are released on the normal failure path.
template <class F>
bool guarded(F&& f) noexcept {
    try {
        return f();
    } catch (...) {
        translate_exception();
        return false;
    }
}

// The bare name of a type ('int', 'CoreGraph'); a new reference, nullptr with an exception
// set on failure.
PyObject* type_name(PyTypeObject* t) {
#if PY_VERSION_HEX >= 0x030B0000
    return PyType_GetName(t);
#else
    const char* dot = std::strrchr(t->tp_name, '.');
    return PyUnicode_FromString(dot ? dot + 1 : t->tp_name);
#endif
}

void set_str_vec_error() { PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`"); }

// Whether `o` may be read as a sequence of items; false with the TypeError of the kind
// set.  A str is a sequence, but never taken for one of ids.
bool is_item_sequence(PyObject* o) {
    if (PyUnicode_Check(o)) {
        set_str_vec_error();
        return false;
    }
    if (!PySequence_Check(o)) {
        set_cast_error(o, "Sequence");
        return false;
    }
    return true;
}

// The item at `i` of an exact list or tuple as a new reference, or nullptr past its end.
// The size is read again on every step: converting an item may run user code that
// changes the list (as may another thread of a free-threaded build, hence the list's
// own read).
PyObject* item_at(PyObject* o, Py_ssize_t i) {
    if (PyList_CheckExact(o)) return list_item_ref(o, i);
    if (i >= PyTuple_GET_SIZE(o)) return nullptr;
    PyObject* item = PyTuple_GET_ITEM(o, i);
    Py_INCREF(item);
    return item;
}

// for_each_item over an exact list or tuple, read by index.
template <class Each>
bool for_each_indexed(PyObject* o, SignalPoll& poll, Each& each) {
    for (Py_ssize_t i = 0;; ++i) {
        // Held before the poll, whose signal handler may change the list too.
        PyObject* item = item_at(o, i);
        if (!item) return true;
        const bool ok = poll.step() && guarded([&] { return each(item); });
        Py_DECREF(item);
        if (!ok) return false;
    }
}

// for_each_item over any other sequence, read by its iterator.
template <class Each>
bool for_each_iterated(PyObject* o, SignalPoll& poll, Each& each) {
    PyObject* it = PyObject_GetIter(o);
    if (!it) return false;
    bool ok = true;
    while (ok) {
        PyObject* item = PyIter_Next(it);
        if (!item) break;
        ok = guarded([&] { return each(item); });
        Py_DECREF(item);
        ok = ok && poll.step();
    }
    Py_DECREF(it);
    return ok && !PyErr_Occurred();
}

// Converts every item of a sequence with `each`, one poll step per item; false with an
// exception set.
template <class Each>
bool for_each_item(PyObject* o, SignalPoll& poll, Each&& each) {
    if (!is_item_sequence(o)) return false;
    if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) return for_each_indexed(o, poll, each);
    return for_each_iterated(o, poll, each);
}

Py_ssize_t size_hint(PyObject* o) {
    if (PyList_CheckExact(o)) return PyList_GET_SIZE(o);
    if (PyTuple_CheckExact(o)) return PyTuple_GET_SIZE(o);
    return 0;
}

}  // namespace

void set_cast_error(PyObject* o, const char* target) {
    PyObject* name = type_name(Py_TYPE(o));
    if (!name) return;
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be cast as '%s'", name, target);
    Py_DECREF(name);
}

bool to_id(PyObject* o, std::uint64_t& out) {
    std::int64_t v;
    if (small_exact_int(o, v) && v >= 0) {
        out = std::uint64_t(v);
        return true;
    }
    PyObject* idx = PyNumber_Index(o);
    if (!idx) return false;
    unsigned long long r = PyLong_AsUnsignedLongLong(idx);
    Py_DECREF(idx);
    if (r == (unsigned long long)-1 && PyErr_Occurred()) return false;
    out = r;
    return true;
}

bool to_u32(PyObject* o, std::uint32_t& out) {
    std::int64_t v;
    if (!small_exact_int(o, v)) {
        PyObject* idx = PyNumber_Index(o);
        if (!idx) return false;
        long r = PyLong_AsLong(idx);
        Py_DECREF(idx);
        if (r == -1 && PyErr_Occurred()) return false;
        v = r;
    }
    if (v < 0 || v > 0xFFFFFFFFll) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = std::uint32_t(v);
    return true;
}

namespace {

// One interned name for every lookup of a type's module: a fresh string each time would
// also take a fresh slot of the interpreter's attribute cache, which keys names by
// address.  Made at import, before any thread can call in.
PyObject* g_module_name = nullptr;

}  // namespace

bool intern_convert_names() {
    return g_module_name || (g_module_name = PyUnicode_InternFromString("__module__")) != nullptr;
}

namespace {

// The name of a type of the module numpy (a new reference in `name`); nullptr for any
// other type.  False with an exception set when a lookup fails.
bool numpy_type_name(PyTypeObject* t, PyObject*& name) {
    name = nullptr;
    PyObject* mod = PyObject_GetAttr(reinterpret_cast<PyObject*>(t), g_module_name);
    if (!mod) {
        // A type without __module__ is not numpy's; any other failure of the lookup
        // (a metaclass hook raising, KeyboardInterrupt) is the caller's to see.
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    const bool numpy = PyUnicode_Check(mod) && PyUnicode_CompareWithASCIIString(mod, "numpy") == 0;
    Py_DECREF(mod);
    return !numpy || (name = type_name(t)) != nullptr;
}

}  // namespace

bool to_bool(PyObject* o, bool& out) {
    if (o == Py_True) {
        out = true;
        return true;
    }
    if (o == Py_False) {
        out = false;
        return true;
    }
    // numpy's boolean scalars are taken by their truth value.
    PyTypeObject* t = Py_TYPE(o);
    PyObject* name;
    if (!numpy_type_name(t, name)) return false;
    const bool numpy_bool = name && (PyUnicode_CompareWithASCIIString(name, "bool_") == 0 ||
                                     PyUnicode_CompareWithASCIIString(name, "bool") == 0);
    if (!numpy_bool) {
        Py_XDECREF(name);
        set_cast_error(o, "bool");
        return false;
    }
    if (!t->tp_as_number || !t->tp_as_number->nb_bool) {
        PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion",
                     name);
        Py_DECREF(name);
        return false;
    }
    Py_DECREF(name);
    int r = t->tp_as_number->nb_bool(o);
    if (r < 0) return false;
    out = r != 0;
    return true;
}

bool to_id_list(PyObject* o, std::vector<std::uint64_t>& out, SignalPoll& poll) {
    out.clear();
    if (!guarded([&] {
            out.reserve(std::size_t(size_hint(o)));
            return true;
        }))
        return false;
    // Once `out` holds a million ids and is full, further ids go into pieces of a million,
    // put together at the end between checks for signals: doubling a vector of hundreds
    // of megabytes is one copy that no signal can interrupt.  A piece of a million ids
    // (8 MiB) is copied in about a millisecond, and a list of a billion ids needs only a
    // thousand of them.
    constexpr std::size_t kPiece = std::size_t(1) << 20;
    std::vector<std::vector<std::uint64_t>> pieces;
    const bool ok = for_each_item(o, poll, [&](PyObject* item) {
        std::uint64_t v;
        if (!to_id(item, v)) return false;
        if (pieces.empty() && (out.size() < out.capacity() || out.capacity() < kPiece)) {
            out.push_back(v);
            return true;
        }
        if (pieces.empty() || pieces.back().size() == kPiece) {
            pieces.emplace_back();
            pieces.back().reserve(kPiece);
        }
        pieces.back().push_back(v);
        return true;
    });
    if (!ok || pieces.empty()) return ok;
    return guarded([&] {
        std::size_t total = out.size();
        for (const auto& p : pieces) total += p.size();
        std::vector<std::uint64_t> all;
        all.reserve(total);  // one allocation, whose pages come as they are written
        all.insert(all.end(), out.begin(), out.end());
        for (auto& p : pieces) {
            if (PyErr_CheckSignals() != 0) return false;
            all.insert(all.end(), p.begin(), p.end());
            std::vector<std::uint64_t>().swap(p);
        }
        out.swap(all);
        return true;
    });
}

bool to_id_list(PyObject* o, std::vector<std::uint64_t>& out) {
    SignalPoll poll;
    return to_id_list(o, out, poll);
}

bool to_conditions(PyObject* o, quill::Conditions& out, SignalPoll& poll) {
    out.clear();
    return for_each_item(o, poll, [&](PyObject* item) {
        out.emplace_back();
        return to_id_list(item, out.back(), poll);
    });
}

bool to_conditions_by_child(PyObject* o, std::vector<quill::Conditions>& out) {
    out.clear();
    SignalPoll poll;
    return for_each_item(o, poll, [&](PyObject* item) {
        out.emplace_back();
        return to_conditions(item, out.back(), poll);
    });
}

namespace {

// The pauses in force, and whether the collector ran before the first of them.  Under
// the interpreter lock pauses never interleave; on a free-threaded build the count and
// the collector's switch change together under the lock below, else a pause starting
// between another thread's last resume and its read of the flag would leave the
// collector off for good.
int g_gc_pauses = 0;
bool g_gc_was_enabled = false;
#ifdef Py_GIL_DISABLED
PyMutex g_gc_pause_lock = {0};
#define QN_GC_PAUSE_LOCKED PyMutexHold hold(g_gc_pause_lock)
#else
#define QN_GC_PAUSE_LOCKED
#endif

}  // namespace

void pause_gc() {
    QN_GC_PAUSE_LOCKED;
    if (g_gc_pauses++ == 0) g_gc_was_enabled = PyGC_Disable() != 0;
}

void resume_gc() {
    QN_GC_PAUSE_LOCKED;
    if (--g_gc_pauses == 0 && g_gc_was_enabled) PyGC_Enable();
}

PyObject* id_list_to_py(std::span<const std::uint64_t> ids, ResultPoll& poll) {
    return build_list(ids.size(), poll,
                      [&](std::size_t i) { return PyLong_FromUnsignedLongLong(ids[i]); });
}

PyObject* id_list_to_py(std::span<const std::uint64_t> ids) {
    ResultPoll poll;
    return id_list_to_py(ids, poll);
}

}  // namespace quillpy
