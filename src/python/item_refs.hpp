// Strong references to the items of the caller's lists and dicts.
//
// On a build with the interpreter lock, an item read from a list or dict stays alive
// until the reading code runs Python code or releases the lock, so reading it borrowed
// and taking a reference at once is safe.  On a free-threaded build another thread may
// replace the item (and release it) between the read and the reference: these read the
// item and take the reference as one step, through the interpreter's own functions or
// inside the container's critical section.  Tuples are immutable and need none of this.
#pragma once

#include <Python.h>

// The critical-section macros came with 3.13; before it every build holds the
// interpreter lock, which is all the section would give.
#ifndef Py_BEGIN_CRITICAL_SECTION
#define Py_BEGIN_CRITICAL_SECTION(op) {
#define Py_END_CRITICAL_SECTION() }
#endif

namespace quillpy {

// Item i of an exact list as a new reference, or nullptr (no exception set) when i is at
// or past the end, the size being read at the call: the list may have changed since.
inline PyObject* list_item_ref(PyObject* list, Py_ssize_t i) {
    if (i >= PyList_GET_SIZE(list)) return nullptr;
#ifdef Py_GIL_DISABLED
    PyObject* item = PyList_GetItemRef(list, i);
    if (!item) PyErr_Clear();  // the list shrank after its size was read
    return item;
#else
    PyObject* item = PyList_GET_ITEM(list, i);
    Py_INCREF(item);
    return item;
#endif
}

// The plain lookup of a dict's storage (no subclass __getitem__ or __missing__): 1 with
// a new reference in `out`, 0 when absent, -1 with an exception set.
inline int dict_item_ref(PyObject* dict, PyObject* key, PyObject*& out) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyDict_GetItemRef(dict, key, &out);
#else
    out = PyDict_GetItemWithError(dict, key);
    if (!out) return PyErr_Occurred() ? -1 : 0;
    Py_INCREF(out);
    return 1;
#endif
}

// PyDict_Next with new references to the key and the value, read inside the dict's
// critical section.  False at the end of the walk.
inline bool dict_next_ref(PyObject* dict, Py_ssize_t& pos, PyObject*& key, PyObject*& value) {
    bool found;
    Py_BEGIN_CRITICAL_SECTION(dict);
    found = PyDict_Next(dict, &pos, &key, &value) != 0;
    if (found) {
        Py_INCREF(key);
        Py_INCREF(value);
    }
    Py_END_CRITICAL_SECTION();
    return found;
}

}  // namespace quillpy
