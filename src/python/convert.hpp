// Conversions between Python objects and native values, by argument kind.
//
// Each `to_*` returns false with a Python exception set: the kind's own failure, without
// any argument-name prefix (the binder adds that where a failure concerns an argument).
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
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

// Counts the items converted for one argument, the items of nested sequences included,
// and polls for signals after every 4096 of them: a long sequence (a range of a trillion
// ids, or many short lists in a list) answers Ctrl-C while it is being read, however its
// items are nested.
class SignalPoll {
public:
    // False with the signal handler's exception set.
    bool step() {
        if (--left_ > 0) [[likely]]
            return true;
        left_ = kEvery;
        return PyErr_CheckSignals() == 0;
    }

private:
    static constexpr int kEvery = 4096;
    int left_ = kEvery;
};

// id: int or index-protocol object in 0..2^64-1.
bool to_id(PyObject* o, std::uint64_t& out);
// u32: int or index-protocol object in 0..2^32-1.
bool to_u32(PyObject* o, std::uint32_t& out);
// bool: True/False, or a numpy boolean scalar by its truth value.
bool to_bool(PyObject* o, bool& out);
// The sequence kinds read a list or tuple by index, taking the size again before every
// item and holding a reference to the item while it converts: an item's __index__ may
// shrink, empty or grow the sequence.  Other sequences are read by their iterator.  The
// poll counts the items read; the overloads without one count the argument alone.
// id list: any sequence (not str) of ids, order and repeats kept.
bool to_id_list(PyObject* o, std::vector<std::uint64_t>& out, SignalPoll& poll);
bool to_id_list(PyObject* o, std::vector<std::uint64_t>& out);
// A sequence (not str) whose items are id lists.
bool to_conditions(PyObject* o, quill::Conditions& out, SignalPoll& poll);

// A sequence (not str) of condition lists, one per child.
bool to_conditions_by_child(PyObject* o, std::vector<quill::Conditions>& out);

// Sets TypeError "'{type}' object cannot be cast as '{target}'".
void set_cast_error(PyObject* o, const char* target);

// A new list of n items, item(i) giving a new reference or nullptr (which ends the
// build with that exception).
template <class Item>
PyObject* build_list(std::size_t n, Item&& item) {
    PyObject* list = PyList_New(Py_ssize_t(n));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* v = item(i);
        if (!v) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, Py_ssize_t(i), v);
    }
    return list;
}

// Result building; each returns a new reference or nullptr with an exception set.
PyObject* id_list_to_py(std::span<const std::uint64_t> ids);
PyObject* conditions_to_py(const quill::Conditions& conds);
PyObject* conditions_to_py(const quill::FlatConditions& conds);

}  // namespace quillpy
