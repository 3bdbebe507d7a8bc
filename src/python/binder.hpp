// Declarative method descriptions and the one call path that every method and module
// function goes through:
//   1. bind the arguments to the parameters of the text signature,
//   2. borrow the receiver (shared or exclusive),
//   3. convert the arguments in signature order (a graph argument is borrowed when its
//      turn comes),
//   4. run the operation,
//   5. convert the result; the borrows are released on every path.
// The parser, the text-signature docstrings and the binding messages are all derived
// from the `Sig` records, so each method is described exactly once.  The converted
// arguments reach the wrapper as typed, named C++ parameters: the call is unpacked from
// the description at compile time, and the wrapper's parameter types are checked against
// it, so a description and its wrapper cannot silently disagree.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "conditions.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "graph_object.hpp"
#include "signature.hpp"

namespace quillpy {

using quill::NodeId;

// ---- what each kind converts into, and the wrapper parameter types that may take it ----

template <Kind K> struct KindStorage;
template <> struct KindStorage<Kind::Id> { using type = NodeId; };
template <> struct KindStorage<Kind::U32> { using type = std::uint32_t; };
template <> struct KindStorage<Kind::Bool> { using type = bool; };
template <> struct KindStorage<Kind::IdList> { using type = std::vector<NodeId>; };
template <> struct KindStorage<Kind::Graph> { using type = GraphObject*; };
template <> struct KindStorage<Kind::GraphLater> { using type = UnborrowedGraph; };
template <> struct KindStorage<Kind::OptId> { using type = std::optional<std::uint64_t>; };
template <> struct KindStorage<Kind::Dict> { using type = PyObject*; };
template <> struct KindStorage<Kind::CondsByChild> { using type = std::vector<quill::Conditions>; };
template <Kind K> using Storage = typename KindStorage<K>::type;

template <class T, class... U> inline constexpr bool one_of = (std::is_same_v<T, U> || ...);

// Scalars go by value; a list as a view, or as an rvalue when the operation takes it
// over (never as a silent copy); the borrowed graph as a const reference.
template <Kind K, class T> inline constexpr bool takes = std::is_same_v<T, Storage<K>>;
template <class T>
inline constexpr bool takes<Kind::IdList, T> =
    one_of<T, std::span<const NodeId>, std::vector<NodeId>&&, const std::vector<NodeId>&>;
template <class T>
inline constexpr bool takes<Kind::CondsByChild, T> =
    one_of<T, std::vector<quill::Conditions>&&, const std::vector<quill::Conditions>&>;
template <class T> inline constexpr bool takes<Kind::Graph, T> = std::is_same_v<T, const quill::Graph&>;

// The receiver as a method's wrapper takes it.
template <Borrow B>
using Receiver = std::conditional_t<B == Borrow::Exclusive, quill::Graph&, const quill::Graph&>;

// Hands a converted value over to a wrapper parameter of type T.
template <class T, class S>
inline T hand_over(S& s) {
    if constexpr (std::is_same_v<S, GraphObject*>)
        return s->graph;
    else if constexpr (std::is_rvalue_reference_v<T>)
        return std::move(s);
    else
        return static_cast<T>(s);
}

// ---- compile-time checks of a description and its wrapper ----

constexpr bool default_fits(const Param& p) {
    if (!p.default_text) return true;
    switch (p.kind) {
        case Kind::Bool: return same_text(p.default_text, "True") || same_text(p.default_text, "False");
        case Kind::IdList: return same_text(p.default_text, "...");
        case Kind::OptId: return same_text(p.default_text, "None");
        default: return false;
    }
}

constexpr bool is_container(Kind k) {
    return k == Kind::IdList || k == Kind::CondsByChild || k == Kind::Dict || k == Kind::Graph ||
           k == Kind::GraphLater;
}

template <class Pred>
constexpr bool every_param(const Sig& s, Pred pred) {
    for (std::size_t i = 0; i < s.count; ++i)
        if (!pred(i)) return false;
    return true;
}

constexpr std::size_t count_of(const Sig& s, Kind k) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < s.count; ++i) n += s.params[i].kind == k;
    return n;
}

template <const Sig& S>
consteval bool description_is_sound() {
    static_assert(every_param(S, [](std::size_t i) { return default_fits(S.params[i]); }),
                  "quillnet binder: a default text does not fit its parameter's kind (a bool "
                  "takes True or False, an id list ..., an optional id None, other kinds none)");
    static_assert(every_param(S, [](std::size_t i) {
                      return i == 0 || !S.params[i - 1].default_text || S.params[i].default_text;
                  }),
                  "quillnet binder: a required parameter follows an optional one");
    static_assert(every_param(S, [](std::size_t i) {
                      for (std::size_t j = 0; j < i; ++j)
                          if (same_text(S.params[j].name, S.params[i].name)) return false;
                      return true;
                  }),
                  "quillnet binder: two parameters share a name");
    static_assert(count_of(S, Kind::Graph) <= 1,
                  "quillnet binder: more than one graph argument to borrow during conversion; "
                  "a call holds one such borrow");
    static_assert(!S.scalar_only ||
                      every_param(S, [](std::size_t i) { return !is_container(S.params[i].kind); }),
                  "quillnet binder: a scalar-only method takes a container argument (id list, "
                  "nested conditions, dict or graph)");
    return true;
}

template <class F> struct WrapperShape {
    static constexpr bool is_wrapper = false;
};
template <class... A> struct WrapperShape<PyObject* (*)(A...)> {
    static constexpr bool is_wrapper = true;
    using Args = std::tuple<A...>;
};

template <const Sig& S, auto F, std::size_t... I>
consteval bool wrapper_fits(std::index_sequence<I...>) {
    using Shape = WrapperShape<decltype(F)>;
    static_assert(Shape::is_wrapper, "quillnet binder: a wrapper is a function returning PyObject*");
    if constexpr (Shape::is_wrapper) {
        using Args = typename Shape::Args;
        constexpr std::size_t R = S.borrow == Borrow::None ? 0 : 1;
        static_assert(std::tuple_size_v<Args> == R + S.count,
                      "quillnet binder: the wrapper takes one parameter per described parameter "
                      "(after the receiver, for a method)");
        if constexpr (std::tuple_size_v<Args> == R + S.count) {
            if constexpr (R == 1)
                static_assert(std::is_same_v<std::tuple_element_t<0, Args>, Receiver<S.borrow>>,
                              "quillnet binder: a method's wrapper takes its receiver first, as "
                              "const quill::Graph& when it borrows shared and quill::Graph& when "
                              "exclusive");
            static_assert((takes<S.params[I].kind, std::tuple_element_t<R + I, Args>> && ...),
                          "quillnet binder: a wrapper parameter's type does not fit the kind of "
                          "its description");
        }
    }
    return true;
}

// ---- the general conversions (step 3), in binder.cpp ----

// One argument of each kind, with the "argument '{name}': " rule applied on failure.
bool convert_arg(const char* name, PyObject* o, NodeId& out, SharedBorrow&);
bool convert_arg(const char* name, PyObject* o, std::uint32_t& out, SharedBorrow&);
bool convert_arg(const char* name, PyObject* o, bool& out, SharedBorrow&);
bool convert_arg(const char* name, PyObject* o, std::vector<NodeId>& out, SharedBorrow&);
bool convert_arg(const char* name, PyObject* o, GraphObject*& out, SharedBorrow& graph_borrow);
bool convert_arg(const char* name, PyObject* o, UnborrowedGraph& out, SharedBorrow&);
bool convert_arg(const char* name, PyObject* o, std::optional<std::uint64_t>& out, SharedBorrow&);
bool convert_arg(const char* name, PyObject* o, PyObject*& out, SharedBorrow&);
bool convert_arg(const char* name, PyObject* o, std::vector<quill::Conditions>& out, SharedBorrow&);

// ---- the call path ----

// The converted arguments of one call, one typed slot per parameter.
template <const Sig& S, class = std::make_index_sequence<S.count>> struct ArgsOf;
template <const Sig& S, std::size_t... I> struct ArgsOf<S, std::index_sequence<I...>> {
    using type = std::tuple<Storage<S.params[I].kind>...>;
};
template <const Sig& S> using Args = typename ArgsOf<S>::type;

// The conversions decided inline, with the kind known at compile time: a small exact int
// for an id or u32, True or False for a bool.  They run no Python code; false means
// "take the general path" (convert_arg), never a failure.
template <Kind K>
inline bool convert_inline(PyObject* o, Storage<K>& out) {
    std::int64_t v;
    if constexpr (K == Kind::Id) {
        if (!small_exact_int(o, v) || v < 0) return false;
        out = std::uint64_t(v);
        return true;
    } else if constexpr (K == Kind::U32) {
        if (!small_exact_int(o, v) || v < 0 || v > 0xFFFFFFFFll) return false;
        out = std::uint32_t(v);
        return true;
    } else if constexpr (K == Kind::Bool) {
        if (o != Py_True && o != Py_False) return false;
        out = o == Py_True;
        return true;
    } else {
        return false;
    }
}

// Step 3 for parameter I: the default when left out, else inline where possible, else the
// general path.
template <const Sig& S, std::size_t I>
inline bool convert_one(PyObject* o, Storage<S.params[I].kind>& out, SharedBorrow& graph_borrow) {
    constexpr Param p = S.params[I];
    if (!o) {  // left out: a bool takes the value its text names, the other kinds stay empty
        if constexpr (p.kind == Kind::Bool) out = p.default_text && same_text(p.default_text, "True");
        return true;
    }
    if (convert_inline<p.kind>(o, out)) return true;
    return convert_arg(p.name, o, out, graph_borrow);
}

template <const Sig& S, std::size_t... I>
inline bool convert_all(PyObject* const* slots, Args<S>& a, SharedBorrow& graph_borrow,
                        std::index_sequence<I...>) {
    return (convert_one<S, I>(slots[I], std::get<I>(a), graph_borrow) && ...);
}

template <const Sig& S, std::size_t... I>
inline bool convert_all_inline(PyObject* const* args, Args<S>& a, std::index_sequence<I...>) {
    return (convert_inline<S.params[I].kind>(args[I], std::get<I>(a)) && ...);
}

// Step 4: the wrapper called with the receiver (for a method) and its typed arguments.
template <const Sig& S, auto F, std::size_t... I>
inline PyObject* invoke(GraphObject* recv, Args<S>& a, std::index_sequence<I...>) {
    using W = typename WrapperShape<decltype(F)>::Args;
    if constexpr (S.borrow == Borrow::None)
        return F(hand_over<std::tuple_element_t<I, W>>(std::get<I>(a))...);
    else
        return F(recv->graph, hand_over<std::tuple_element_t<I + 1, W>>(std::get<I>(a))...);
}

// The receiver's borrow for the length of a call; no borrow for module functions.
template <Borrow B>
class ReceiverBorrow {
public:
    explicit ReceiverBorrow(GraphObject* obj) : obj_(obj) {
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

private:
    GraphObject* obj_;
    bool ok_ = true;
};

// Step 4 with every C++ exception turned into a Python one at this boundary.
template <const Sig& S, auto F>
inline PyObject* run(GraphObject* recv, Args<S>& a) {
    try {
        return invoke<S, F>(recv, a, std::make_index_sequence<S.count>{});
    } catch (...) {
        return translate_exception();
    }
}

// Step 4 for a call that only checked the receiver's borrow state (see call_with_body).
// The operation runs no Python code, but building the Python exception of a failure may
// (a garbage collection started by an allocation runs finalizers), so the borrow is
// taken for real while the failure is translated: such code sees the call in progress.
template <const Sig& S, auto F>
inline PyObject* run_checked(GraphObject* recv, Args<S>& a) {
    try {
        return invoke<S, F>(recv, a, std::make_index_sequence<S.count>{});
    } catch (...) {
        ReceiverBorrow<S.borrow> hold(recv);
        return translate_exception();
    }
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

// A call that may run long first gives back what interrupted calls left queued (see
// release.hpp): it would otherwise run beside that memory, with the collector paused.
template <const Sig& S>
inline bool ready_to_run() {
    if constexpr (S.scalar_only) return true;
    return !releases_pending() || finish_releases();
}

template <const Sig& S, auto F>
inline PyObject* call_with_body(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    if (!ready_to_run<S>()) return nullptr;
    constexpr std::size_t N = S.count;
    constexpr auto each = std::make_index_sequence<N>{};
    GraphObject* recv = reinterpret_cast<GraphObject*>(self);  // unused by module functions
#ifndef Py_GIL_DISABLED
    // While the interpreter lock is held and no Python code runs, nothing else can touch
    // the graph: no other thread runs and nothing re-enters.  A borrow taken and released
    // around such a stretch cannot be observed, so when every argument converts inline
    // and the operation runs no Python code, the call only checks that the borrow would
    // be granted (one atomic load) instead of taking it (two locked instructions).
    if constexpr (S.scalar_only) {
        if (kwnames == nullptr && std::size_t(nargs) == N) {
            Args<S> a;
            if (convert_all_inline<S>(args, a, each)) {
                if (!borrow_would_succeed<S.borrow>(recv)) return nullptr;
                return run_checked<S, F>(recv, a);
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
    ReceiverBorrow<S.borrow> hold(recv);
    if (!hold.ok()) return nullptr;
    Args<S> a;
    SharedBorrow graph_borrow;
    if (!convert_all<S>(slots, a, graph_borrow, each)) return nullptr;
    return run<S, F>(recv, a);
}

// The entry point of a method or function with parameters.  The operation's own failures
// are translated in run; this last guard keeps any C++ exception of the binding steps
// (an allocation failure while a message is built, say) from reaching the interpreter.
template <const Sig& S, auto F>
PyObject* call_with(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    try {
        return call_with_body<S, F>(self, args, nargs, kwnames);
    } catch (...) {
        return translate_exception();
    }
}

// Methods without parameters: the interpreter rejects any argument.
template <const Sig& S, auto F>
PyObject* call_noargs(PyObject* self, PyObject*) {
    if (!ready_to_run<S>()) return nullptr;
    GraphObject* recv = reinterpret_cast<GraphObject*>(self);
    Args<S> none;
#ifndef Py_GIL_DISABLED
    if constexpr (S.scalar_only) {  // as in call_with_body
        if (!borrow_would_succeed<S.borrow>(recv)) return nullptr;
        return run_checked<S, F>(recv, none);
    }
#endif
    ReceiverBorrow<S.borrow> hold(recv);
    if (!hold.ok()) return nullptr;
    return run<S, F>(recv, none);
}

// A method-table entry for one description and its wrapper.
template <const Sig& S, auto F>
constexpr PyMethodDef method_def() {
    static_assert(description_is_sound<S>());
    static_assert(wrapper_fits<S, F>(std::make_index_sequence<S.count>{}));
    using Fn = void (*)(void);
    if constexpr (S.count == 0) {
        return {S.name, reinterpret_cast<PyCFunction>(reinterpret_cast<Fn>(&call_noargs<S, F>)),
                METH_NOARGS, nullptr};
    } else {
        return {S.name, reinterpret_cast<PyCFunction>(reinterpret_cast<Fn>(&call_with<S, F>)),
                METH_FASTCALL | METH_KEYWORDS, nullptr};
    }
}

// A table from a list macro whose entries read
//     X(name, borrow, calls, {"param", kind[, "default"]}, ...)
// with borrow Shared, Exclusive (methods) or None (module functions), calls Scalar or
// General, and kinds from namespace desc.  The wrapper of each entry is the function of
// the same name.  Expands to the descriptions, the method table DEFS (ending with a null
// entry) and the parallel array SIGS of descriptions.
#define QN_DESCRIBE(NAME, BORROW, CALLS, ...)                                    \
    __VA_OPT__(constexpr ::quillpy::Param NAME##_params[] = {__VA_ARGS__};)      \
    constexpr ::quillpy::Sig NAME = ::quillpy::describe(                         \
        #NAME, ::quillpy::Borrow::BORROW, CALLS __VA_OPT__(, NAME##_params));
#define QN_ENTRY(NAME, ...) ::quillpy::method_def<described::NAME, &NAME>(),
#define QN_SIG_PTR(NAME, ...) &described::NAME,
#define QN_TABLE(LIST, DEFS, SIGS)                                          \
    namespace described {                                                   \
    using namespace ::quillpy::desc;                                        \
    LIST(QN_DESCRIBE)                                                       \
    }                                                                       \
    PyMethodDef DEFS[] = {LIST(QN_ENTRY){nullptr, nullptr, 0, nullptr}};    \
    extern const ::quillpy::Sig* const SIGS[];                              \
    const ::quillpy::Sig* const SIGS[] = {LIST(QN_SIG_PTR)};                \
    static_assert(std::size(SIGS) + 1 == std::size(DEFS));

// Result helpers.
inline PyObject* py_none() { Py_RETURN_NONE; }
inline PyObject* py_bool(bool b) {
    PyObject* r = b ? Py_True : Py_False;
    Py_INCREF(r);
    return r;
}
inline PyObject* py_u64(std::uint64_t x) { return PyLong_FromUnsignedLongLong(x); }

}  // namespace quillpy
