// Conversions between Python objects and native values, by argument kind.
//
// Each `to_*` returns false with a Python exception set: the kind's own failure, without
// any argument-name prefix (the binder adds that where a failure concerns an argument).
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "conditions.hpp"
#include "graph.hpp"

namespace quillpy {

// The fast path of the integer kinds: an exact int that fits one machine word.  False
// means "not decided here", never a failure.
inline bool small_exact_int(PyObject* o, std::int64_t& out) {
    if (!PyLong_CheckExact(o)) return false;
#if PY_VERSION_HEX >= 0x030C0000
    if (!PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o))) return false;
    out = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o));
    return true;
#else
    Py_ssize_t size = Py_SIZE(o);
    if (size == 0) {
        out = 0;
        return true;
    }
    if (size == 1 || size == -1) {
        std::int64_t d = reinterpret_cast<PyLongObject*>(o)->ob_digit[0];
        out = size < 0 ? -d : d;
        return true;
    }
    return false;
#endif
}

// id: int or index-protocol object in 0..2^64-1.
bool to_id(PyObject* o, std::uint64_t& out);
// u32: int or index-protocol object in 0..2^32-1.
bool to_u32(PyObject* o, std::uint32_t& out);
// bool: True/False, or a numpy boolean scalar by its truth value.
bool to_bool(PyObject* o, bool& out);
// id list: any sequence (not str) of ids, order and repeats kept.
bool to_id_list(PyObject* o, std::vector<std::uint64_t>& out);
// A sequence (not str) whose items are id lists.
bool to_conditions(PyObject* o, quill::Conditions& out);

// A sequence (not str) of condition lists, one per child.
bool to_conditions_by_child(PyObject* o, std::vector<quill::Conditions>& out);

// Sets TypeError "'{type}' object cannot be cast as '{target}'".
void set_cast_error(PyObject* o, const char* target);

// Counts the items put into a result while it is built and checks for signals every
// few thousand of them, so that a result of millions of items answers Ctrl-C while it is
// built.  One counter goes through a whole result, nested lists and tuples included, so
// that a list of a million one-item lists polls as often as a list of two million ints.
// A failed step leaves the signal handler's exception set; the caller then releases
// whatever it has built.
class ResultPoll {
public:
    bool step() {
        if (++count_ < kEvery) return true;
        count_ = 0;
        return PyErr_CheckSignals() == 0;
    }

private:
    static constexpr std::uint32_t kEvery = 4096;
    std::uint32_t count_ = 0;
};

// A new list of n items, item(i) giving a new reference or nullptr (which ends the
// build with that exception).  Each item is one step of `poll`.
template <class Item>
PyObject* build_list(std::size_t n, ResultPoll& poll, Item&& item) {
    PyObject* list = PyList_New(Py_ssize_t(n));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* v = poll.step() ? item(i) : nullptr;
        if (!v) {
            Py_DECREF(list);  // the slots not yet filled are null, which the list skips
            return nullptr;
        }
        PyList_SET_ITEM(list, Py_ssize_t(i), v);
    }
    return list;
}
template <class Item>
PyObject* build_list(std::size_t n, Item&& item) {
    ResultPoll poll;
    return build_list(n, poll, item);
}

// Result building; each returns a new reference or nullptr with an exception set.
PyObject* id_list_to_py(const std::vector<std::uint64_t>& ids);
PyObject* id_list_to_py(const std::vector<std::uint64_t>& ids, ResultPoll& poll);
PyObject* conditions_to_py(const quill::Conditions& conds);

}  // namespace quillpy
