// Conversion of the caller's op_snapshot dictionary into the op cache.
//
// Converting keys and values runs caller code (an integer-like key's __index__, a
// sequence's item access), which may change the dictionary being walked or the entry
// being read.  Every object in use is therefore held by a strong reference, and the walk
// checks the dictionary's size before each step: a change is an internal failure.

#include "op_snapshot.hpp"

#include <initializer_list>
#include <string>
#include <utility>

#include "convert.hpp"
#include "errors.hpp"
#include "item_refs.hpp"

namespace quillpy {

namespace {

// Owns one strong reference.
class Ref {
public:
    explicit Ref(PyObject* o = nullptr) : o_(o) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& r) noexcept : o_(std::exchange(r.o_, nullptr)) {}
    Ref& operator=(Ref&& r) noexcept {
        if (this != &r) {
            Py_XDECREF(o_);
            o_ = std::exchange(r.o_, nullptr);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(o_); }
    PyObject* get() const { return o_; }

private:
    PyObject* o_;
};

// The interned key names, made at import (intern_op_snapshot_keys) before any thread
// can call in.
PyObject* g_conditions = nullptr;
PyObject* g_has_callable = nullptr;
PyObject* g_cumulative = nullptr;

// Plain lookup in the dictionary storage (no subclass __getitem__ or __missing__), the
// value held by a strong reference: another thread may replace it in the dictionary.
// On absence sets KeyError "missing '{name}'".
bool lookup(PyObject* entry, const char* name, PyObject* key, Ref& out) {
    PyObject* v = nullptr;
    const int found = dict_item_ref(entry, key, v);
    if (found <= 0) {
        if (found == 0)
            PyErr_SetString(PyExc_KeyError, (std::string("missing '") + name + "'").c_str());
        return false;
    }
    out = Ref(v);
    return true;
}

// Converts one entry value into an OpInfo.  All three keys are looked up before any of
// their values is converted.
bool convert_entry(PyObject* entry, quill::OpInfo& info, SignalPoll& poll) {
    if (!PyDict_Check(entry)) {
        set_cast_error(entry, "dict");
        return false;
    }
    Ref conditions, has_callable, cumulative;
    if (!lookup(entry, "conditions", g_conditions, conditions)) return false;
    if (!lookup(entry, "has_callable", g_has_callable, has_callable)) return false;
    if (!lookup(entry, "cumulative", g_cumulative, cumulative)) return false;
    if (!to_conditions(conditions.get(), info.conditions, poll)) return false;
    if (!to_bool(has_callable.get(), info.has_callable)) return false;
    if (!to_bool(cumulative.get(), info.cumulative)) return false;
    return true;
}

}  // namespace

bool intern_op_snapshot_keys() {
    for (auto [slot, text] : {std::pair{&g_conditions, "conditions"},
                              std::pair{&g_has_callable, "has_callable"},
                              std::pair{&g_cumulative, "cumulative"}}) {
        if (!*slot && !(*slot = PyUnicode_InternFromString(text))) return false;
    }
    return true;
}

bool build_op_cache(PyObject* op_snapshot, quill::OpCache& out) {
    quill::OpCache cache;
    const Py_ssize_t initial = PyDict_Size(op_snapshot);
    Py_ssize_t remaining = initial;
    Py_ssize_t pos = 0;
    SignalPoll poll;  // one count for the entries and the ids of their conditions
    for (;;) {
        // A size change is seen before the next entry is taken; a walk that yields more
        // entries than the dictionary held at the start (same size, keys replaced) is
        // seen on the step after the extra entry.
        if (PyDict_Size(op_snapshot) != initial) {
            raise_panic("dictionary changed size during iteration");
            return false;
        }
        if (remaining < 0) {
            raise_panic("dictionary keys changed during iteration");
            return false;
        }
        PyObject* k = nullptr;
        PyObject* v = nullptr;
        // Both are held before the poll: its signal handler may change the dictionary,
        // as may another thread of a free-threaded build.
        if (!dict_next_ref(op_snapshot, pos, k, v)) break;
        --remaining;
        Ref key(k);
        Ref value(v);
        if (!poll.step()) return false;

        std::uint32_t op_id = 0;
        if (!to_u32(key.get(), op_id)) return false;
        quill::OpInfo info;
        if (!convert_entry(value.get(), info, poll)) return false;
        try {
            cache.insert_or_assign(op_id, std::move(info));  // a later equal key wins
        } catch (...) {
            translate_exception();  // MemoryError
            return false;
        }
    }
    out = std::move(cache);
    return true;
}

}  // namespace quillpy
