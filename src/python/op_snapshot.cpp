// Conversion of the caller's op_snapshot dictionary into the op cache.
//
// Converting keys and values runs caller code (an integer-like key's __index__, a
// sequence's item access), which may change the dictionary being walked or the entry
// being read.  Every object in use is therefore held by a strong reference, and the walk
// checks the dictionary's size before each step: a change is an internal failure.

#include "op_snapshot.hpp"

#include <string>
#include <utility>

#include "convert.hpp"
#include "errors.hpp"

namespace quillpy {

namespace {

// Owns one strong reference.
class Ref {
public:
    explicit Ref(PyObject* o = nullptr) : o_(o) {}
    static Ref borrowed(PyObject* o) {
        Py_XINCREF(o);
        return Ref(o);
    }
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

// Interned key names, created once per process.
PyObject* key_name(const char* text, PyObject*& slot) {
    if (!slot) slot = PyUnicode_InternFromString(text);
    return slot;
}
PyObject* g_conditions = nullptr;
PyObject* g_has_callable = nullptr;
PyObject* g_cumulative = nullptr;

// Plain lookup in the dictionary storage (no subclass __getitem__ or __missing__).
// Returns a new reference; on absence sets KeyError "missing '{name}'".
bool lookup(PyObject* entry, const char* name, PyObject*& slot, Ref& out) {
    PyObject* key = key_name(name, slot);
    if (!key) return false;
    PyObject* v = PyDict_GetItemWithError(entry, key);
    if (!v) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_KeyError, (std::string("missing '") + name + "'").c_str());
        return false;
    }
    out = Ref::borrowed(v);
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
        if (!PyDict_Next(op_snapshot, &pos, &k, &v)) break;
        --remaining;
        // Both are held before the poll: its signal handler may change the dictionary.
        Ref key = Ref::borrowed(k);
        Ref value = Ref::borrowed(v);
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
