// Conversions between Python objects and native values, by argument kind.
//
// Each `to_*` returns false with a Python exception set: the kind's own failure, without
// any argument-name prefix (the binder adds that where a failure concerns an argument).
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "conditions.hpp"
#include "graph.hpp"
#include "release.hpp"

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

// Items converted or built between two checks for signals.  A check is a call into the
// interpreter of a few nanoseconds; 4096 items of the slowest kind (an index-protocol
// object whose __index__ runs Python code, about a microsecond) take a few milliseconds,
// well inside the tenth of a second in which a call must answer Ctrl-C, while the checks
// cost under a thousandth of the work on the fastest items.
inline constexpr int kItemsPerSignalCheck = 4096;

// Counts the items converted for one argument, the items of nested sequences included,
// and polls for signals after every kItemsPerSignalCheck of them: a long sequence (a range of a trillion
// ids, or many short lists in a list) answers Ctrl-C while it is being read, however its
// items are nested.
class SignalPoll {
public:
    // False with the signal handler's exception set.
    bool step() {
        if (--left_ > 0) [[likely]]
            return true;
        left_ = kItemsPerSignalCheck;
        return PyErr_CheckSignals() == 0;
    }

private:
    int left_ = kItemsPerSignalCheck;
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

// Interns the names the conversions look up; called once at import.  False with an
// exception set.
bool intern_convert_names();

// Sets TypeError "'{type}' object cannot be cast as '{target}'".
void set_cast_error(PyObject* o, const char* target);

#ifdef Py_GIL_DISABLED
// Holds an interpreter mutex for a scope.  A thread that waits for it lets go of the
// interpreter meanwhile, so a pause of every thread (a collection) never waits on it.
class PyMutexHold {
public:
    explicit PyMutexHold(PyMutex& m) : m_(m) { PyMutex_Lock(&m_); }
    PyMutexHold(const PyMutexHold&) = delete;
    PyMutexHold& operator=(const PyMutexHold&) = delete;
    ~PyMutexHold() { PyMutex_Unlock(&m_); }

private:
    PyMutex& m_;
};
#endif

// Holds the cyclic garbage collector off while a result of many containers is built:
// each collection walks every container built so far, which made building a million
// lists four times slower and stopped the build for tenths of a second between two
// polls.  Only objects made by the build are allocated meanwhile, and none of them can
// be part of a cycle.  Pauses nest (a result handed to release_later keeps one until it
// is gone); the collector's previous state comes back when the last one ends.
void pause_gc();
void resume_gc();
// A result of fewer containers than a collection's threshold is built without one: the
// pause would cost a short call more than the collection it spares.
class GcPause {
public:
    explicit GcPause(std::size_t containers) : held_(containers >= kFewContainers) {
        if (held_) pause_gc();
    }
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;
    ~GcPause() {
        if (held_) resume_gc();
    }

private:
    static constexpr std::size_t kFewContainers = 256;
    bool held_;
};

// Counts the items put into a result while it is built and checks for signals every
// few thousand of them, so that a result of millions of items answers Ctrl-C while it is
// built.  One counter goes through a whole result, nested lists and tuples included, so
// that a list of a million one-item lists polls as often as a list of two million ints.
// A failed step leaves the signal handler's exception set and marks the build as
// interrupted; release() then hands what was built to release_later.
class ResultPoll {
public:
    bool step() {
        if (++count_ < kItemsPerSignalCheck) return true;
        count_ = 0;
        if (PyErr_CheckSignals() == 0) return true;
        interrupted_ = true;
        return false;
    }
    bool interrupted() const { return interrupted_; }
    // Gives up a reference to a partly built result.
    void release(PyObject* obj) {
        if (interrupted_)
            release_later(obj);
        else
            Py_DECREF(obj);
    }

private:
    int count_ = 0;
    bool interrupted_ = false;
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
            poll.release(list);  // the slots not yet filled are null, which the list skips
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
PyObject* id_list_to_py(std::span<const std::uint64_t> ids);
PyObject* id_list_to_py(std::span<const std::uint64_t> ids, ResultPoll& poll);

// A list of id lists (paths, conditions), from anything with size() and operator[] giving
// a span of ids; built with the collector paused when it holds many lists.
template <class Lists>
PyObject* id_lists_to_py(const Lists& lists, ResultPoll& poll) {
    GcPause pause(lists.size());
    return build_list(lists.size(), poll, [&](std::size_t i) { return id_list_to_py(lists[i], poll); });
}

}  // namespace quillpy
