// Declarative method descriptions and the one call path that every method and module
// function goes through:
//   1. bind the arguments to the parameters of the text signature,
//   2. borrow the receiver (shared or exclusive),
//   3. convert the arguments in signature order (a graph argument is borrowed when its
//      turn comes),
//   4. run the operation,
//   5. convert the result; the borrows are released on every path.
// The parser, the text-signature docstrings and the binding messages are all derived
// from the `Sig` records, so each method is described exactly once.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "conditions.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "graph_object.hpp"

namespace quillpy {

enum class Kind : std::uint8_t {
    Id,            // unsigned 64-bit integer
    U32,           // unsigned 32-bit integer
    Bool,          // True / False (numpy booleans too)
    IdList,        // sequence of ids
    Graph,         // CoreGraph, borrowed shared during conversion
    GraphLater,    // CoreGraph, type-checked only; the operation borrows it later
    OptId,         // id or None
    Dict,          // dict or dict subclass
    CondsByChild,  // sequence of sequences of id lists
};

enum class Borrow : std::uint8_t { None, Shared, Exclusive };

struct Param {
    const char* name;
    Kind kind;
    // Text shown in the signature for an optional parameter ("True", "None", "..."),
    // nullptr for a required one.  The value used when the argument is left out follows
    // from the kind: the bool named by the text, an empty list, or no value.
    const char* default_text = nullptr;
};

struct Sig {
    const char* name;
    const char* owner;  // "CoreGraph" for methods, nullptr for module functions
    const Param* params;
    std::size_t count;
    Borrow borrow;
    // The operation runs no Python code: it returns a scalar (int, bool or None), builds
    // no container and never polls for signals.  See call_with.
    bool scalar_only = false;
};

// One converted argument.  Container kinds convert into storage that only the
// signatures with such parameters carry (see Values), so the common scalar calls stay
// free of it.
struct Value {
    std::uint64_t u = 0;     // Id, U32, OptId
    bool b = false;          // Bool; for OptId: a value is present
    PyObject* obj = nullptr; // Dict, Graph, GraphLater (borrowed reference)
    std::vector<std::uint64_t>* list_p = nullptr;      // IdList
    std::vector<quill::Conditions>* nested_p = nullptr;  // CondsByChild
    GraphObject* graph() const { return reinterpret_cast<GraphObject*>(obj); }
    std::vector<std::uint64_t>& list() const { return *list_p; }
    std::vector<quill::Conditions>& nested() const { return *nested_p; }
};

// What an operation sees: the receiver (nullptr for module functions) and its arguments.
struct Call {
    GraphObject* self;
    Value* v;
    const quill::Graph& g() const { return self->graph; }
    quill::Graph& g_mut() const { return self->graph; }
};

using Impl = PyObject* (*)(Call&);

// Step 1 for the general case; fills `slots` (size sig.count) with borrowed references or
// nullptr for left-out optional parameters.  False with TypeError set.
bool bind_args(const Sig& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** slots);
// The binding messages, shared with the constructor.
void too_many_positional(const Sig& sig, Py_ssize_t given);
void unexpected_keyword(const Sig& sig, PyObject* keyword);
// Step 3 for one argument; applies the "argument '{name}': " rule on failure.
bool convert_arg(const Param& p, PyObject* o, Value& out, SharedBorrow& graph_borrow);
// The docstring: the text signature followed by "\n--\n\n".
std::string text_signature(const Sig& sig);

// The conversions decided inline, with the kind known at compile time: a small exact int
// for an id or u32, True or False for a bool.  They run no Python code; false means
// "take the general path" (convert_arg), never a failure.
template <Kind K>
inline bool convert_inline(PyObject* o, Value& out) {
    std::int64_t v;
    if constexpr (K == Kind::Id) {
        if (!small_exact_int(o, v) || v < 0) return false;
        out.u = std::uint64_t(v);
        return true;
    } else if constexpr (K == Kind::U32) {
        if (!small_exact_int(o, v) || v < 0 || v > 0xFFFFFFFFll) return false;
        out.u = std::uint64_t(v);
        return true;
    } else if constexpr (K == Kind::Bool) {
        if (o != Py_True && o != Py_False) return false;
        out.b = o == Py_True;
        return true;
    } else {
        return false;
    }
}

// Step 3 for one argument: inline where possible, else the general path.
template <Kind K>
inline bool convert_one(const Param& p, PyObject* o, Value& out, SharedBorrow& graph_borrow) {
    if (o && convert_inline<K>(o, out)) return true;
    return convert_arg(p, o, out, graph_borrow);
}

template <const Sig& S, std::size_t... I>
inline bool convert_all(PyObject* const* slots, Value* v, SharedBorrow& graph_borrow,
                        std::index_sequence<I...>) {
    return (convert_one<S.params[I].kind>(S.params[I], slots[I], v[I], graph_borrow) && ...);
}

constexpr bool has_containers(const Sig& s) {
    for (std::size_t i = 0; i < s.count; ++i)
        if (s.params[i].kind == Kind::IdList || s.params[i].kind == Kind::CondsByChild) return true;
    return false;
}

// The converted arguments of one call (N may be 0), with container storage only where
// the signature needs it.
template <std::size_t N, bool Containers>
struct Values {
    Value v[N == 0 ? 1 : N];
};

template <std::size_t N>
struct Values<N, true> {
    Value v[N];
    std::vector<std::uint64_t> lists[N];
    std::vector<quill::Conditions> nested[N];
    Values() {
        for (std::size_t i = 0; i < N; ++i) {
            v[i].list_p = &lists[i];
            v[i].nested_p = &nested[i];
        }
    }
    Values(const Values&) = delete;
    Values& operator=(const Values&) = delete;
};

// The receiver's borrow for the length of a call; no borrow for module functions.
template <Borrow B>
class ReceiverBorrow {
public:
    explicit ReceiverBorrow(PyObject* self) : obj_(reinterpret_cast<GraphObject*>(self)) {
        if constexpr (B == Borrow::Shared)
            ok_ = try_borrow_shared(obj_) || fail_shared_borrow();
        else if constexpr (B == Borrow::Exclusive)
            ok_ = try_borrow_exclusive(obj_) || fail_exclusive_borrow();
    }
    ReceiverBorrow(const ReceiverBorrow&) = delete;
    ReceiverBorrow& operator=(const ReceiverBorrow&) = delete;
    ~ReceiverBorrow() {
        if (!ok_) return;
        if constexpr (B == Borrow::Shared)
            release_shared(obj_);
        else if constexpr (B == Borrow::Exclusive)
            release_exclusive(obj_);
    }
    bool ok() const { return ok_; }
    GraphObject* get() const { return obj_; }

private:
    GraphObject* obj_;
    bool ok_ = true;
};

// Step 4 with every C++ exception turned into a Python one at this boundary.
template <Impl F>
inline PyObject* run_impl(Call& c) {
    try {
        return F(c);
    } catch (...) {
        return translate_exception();
    }
}

// Step 4 for a call that only checked the receiver's borrow state (see call_with).  The
// operation runs no Python code, but building the Python exception of a failure may (a
// garbage collection started by an allocation runs finalizers), so the borrow is taken
// for real while the failure is translated: such code sees the call in progress.
template <Borrow B, Impl F>
inline PyObject* run_impl_checked(GraphObject* recv, Call& c) {
    try {
        return F(c);
    } catch (...) {
        ReceiverBorrow<B> hold(reinterpret_cast<PyObject*>(recv));
        return translate_exception();
    }
}

template <const Sig& S, std::size_t... I>
inline bool convert_all_inline(PyObject* const* args, Value* v, std::index_sequence<I...>) {
    return (convert_inline<S.params[I].kind>(args[I], v[I]) && ...);
}

// Whether the borrow rule would let a borrow of kind B be taken now.
template <Borrow B>
inline bool borrow_would_succeed(GraphObject* o) {
    const std::intptr_t state = o->borrow.load(std::memory_order_acquire);
    if constexpr (B == Borrow::Shared)
        return state >= 0 || fail_shared_borrow();
    else if constexpr (B == Borrow::Exclusive)
        return state == 0 || fail_exclusive_borrow();
    else
        return true;
}

template <const Sig& S, Impl F>
inline PyObject* call_with_body(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    constexpr std::size_t N = S.count;
#ifndef Py_GIL_DISABLED
    // While the interpreter lock is held and no Python code runs, nothing else can touch
    // the graph: no other thread runs and nothing re-enters.  A borrow taken and released
    // around such a stretch cannot be observed, so when every argument converts inline
    // and the operation runs no Python code, the call only checks that the borrow would
    // be granted (one atomic load) instead of taking it (two locked instructions).
    if constexpr (S.scalar_only) {
        if (kwnames == nullptr && std::size_t(nargs) == N) {
            Value v[N == 0 ? 1 : N];
            if (convert_all_inline<S>(args, v, std::make_index_sequence<N>{})) {
                GraphObject* recv = reinterpret_cast<GraphObject*>(self);
                if (!borrow_would_succeed<S.borrow>(recv)) return nullptr;
                Call c{S.owner ? recv : nullptr, v};
                return run_impl_checked<S.borrow, F>(recv, c);
            }
        }
    }
#endif
    PyObject* slots_buf[N == 0 ? 1 : N];
    PyObject* const* slots;
    if (kwnames == nullptr && std::size_t(nargs) == N) {
        slots = args;  // the common case: every argument by position
    } else {
        if (!bind_args(S, args, nargs, kwnames, slots_buf)) return nullptr;
        slots = slots_buf;
    }
    ReceiverBorrow<S.borrow> recv(self);
    if (!recv.ok()) return nullptr;
    Values<N, has_containers(S)> vals;
    SharedBorrow graph_borrow;
    if (!convert_all<S>(slots, vals.v, graph_borrow, std::make_index_sequence<N>{})) return nullptr;
    Call c{S.owner ? recv.get() : nullptr, vals.v};
    return run_impl<F>(c);
}

// The entry point of a method or function with parameters.  The operation's own failures
// are translated in run_impl; this last guard keeps any C++ exception of the binding
// steps (an allocation failure while a message is built, say) from reaching the
// interpreter.
template <const Sig& S, Impl F>
PyObject* call_with(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    try {
        return call_with_body<S, F>(self, args, nargs, kwnames);
    } catch (...) {
        return translate_exception();
    }
}

// Methods without parameters: the interpreter rejects any argument.
template <const Sig& S, Impl F>
PyObject* call_noargs(PyObject* self, PyObject*) {
    static_assert(S.count == 0);
#ifndef Py_GIL_DISABLED
    if constexpr (S.scalar_only) {  // as in call_with
        GraphObject* recv = reinterpret_cast<GraphObject*>(self);
        if (!borrow_would_succeed<S.borrow>(recv)) return nullptr;
        Call c{recv, nullptr};
        return run_impl_checked<S.borrow, F>(recv, c);
    }
#endif
    ReceiverBorrow<S.borrow> recv(self);
    if (!recv.ok()) return nullptr;
    Call c{recv.get(), nullptr};
    return run_impl<F>(c);
}

// A method-table entry for one description.
template <const Sig& S, Impl F>
constexpr PyMethodDef method_def() {
    if constexpr (S.count == 0) {
        return {S.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&call_noargs<S, F>)),
                METH_NOARGS, nullptr};
    } else {
        return {S.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&call_with<S, F>)),
                METH_FASTCALL | METH_KEYWORDS, nullptr};
    }
}

// Expands a list macro X(name)... into a method table (ending with a null entry) and the
// parallel array of descriptions, for descriptions `name_sig` and wrappers `name_impl`.
#define QN_ENTRY(NAME) ::quillpy::method_def<NAME##_sig, NAME##_impl>(),
#define QN_SIG_PTR(NAME) &NAME##_sig,
#define QN_TABLES(LIST, DEFS, SIGS)                                     \
    PyMethodDef DEFS[] = {LIST(QN_ENTRY){nullptr, nullptr, 0, nullptr}}; \
    extern const Sig* const SIGS[];                                     \
    const Sig* const SIGS[] = {LIST(QN_SIG_PTR)};                       \
    static_assert(std::size(SIGS) + 1 == std::size(DEFS));

// Fills the ml_doc of each entry from its description (the tables end with a null entry).
void attach_docs(PyMethodDef* defs, const Sig* const* sigs);

// Result helpers.
inline PyObject* py_none() { Py_RETURN_NONE; }
inline PyObject* py_bool(bool b) {
    PyObject* r = b ? Py_True : Py_False;
    Py_INCREF(r);
    return r;
}
inline PyObject* py_u64(std::uint64_t x) { return PyLong_FromUnsignedLongLong(x); }

}  // namespace quillpy
