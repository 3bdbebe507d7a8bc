// What describes a method or module function (its `Sig`: name, owner, parameters with
// kinds and defaults, borrow), and what is derived from a description at run time:
// binding the arguments of a call to its parameters with the interpreter's messages, and
// the text-signature docstring.  The typed call path built on it is in binder.hpp.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string>

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
    // no container and never polls for signals.  See call_with_body.
    bool scalar_only = false;
};

// A description: methods borrow their receiver, module functions have none.
constexpr Sig describe(const char* name, Borrow borrow, bool scalar_only) {
    return {name, borrow == Borrow::None ? nullptr : "CoreGraph", nullptr, 0, borrow, scalar_only};
}
template <std::size_t N>
constexpr Sig describe(const char* name, Borrow borrow, bool scalar_only, const Param (&params)[N]) {
    Sig s = describe(name, borrow, scalar_only);
    s.params = params;
    s.count = N;
    return s;
}

// The words of the description lists (see QN_TABLE).
namespace desc {
constexpr Kind Id = Kind::Id, U32 = Kind::U32, Bool = Kind::Bool, IdList = Kind::IdList,
               GraphArg = Kind::Graph, GraphLater = Kind::GraphLater, OptId = Kind::OptId,
               Dict = Kind::Dict, CondsByChild = Kind::CondsByChild;
constexpr bool Scalar = true;    // scalar_only
constexpr bool General = false;
}  // namespace desc

// Whether two C strings are equal, usable at compile time: a default is read by its text.
constexpr bool same_text(const char* a, const char* b) {
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}

// ---- binding (step 1 of a call) and the docstrings, in signature.cpp ----

// Fills `slots` (size sig.count) with borrowed references or nullptr for left-out optional
// parameters.  False with TypeError set.
bool bind_args(const Sig& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** slots);
// The binding messages, shared with the constructor.
void too_many_positional(const Sig& sig, Py_ssize_t given);
void unexpected_keyword(const Sig& sig, PyObject* keyword);

// The docstring: the text signature followed by "\n--\n\n".
std::string text_signature(const Sig& sig);
// Fills the ml_doc of each entry from its description (the tables end with a null entry).
void attach_docs(PyMethodDef* defs, const Sig* const* sigs);

}  // namespace quillpy
