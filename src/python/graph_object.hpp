// The CoreGraph Python type: one graph owned by value and its borrow state.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "graph.hpp"

namespace quillpy {

struct GraphObject {
    PyObject_HEAD
    // 0 free, n > 0 shared borrows, -1 one exclusive borrow.
    std::atomic<std::intptr_t> borrow;
    quill::Graph graph;
};

extern PyTypeObject GraphType;

inline bool is_graph(PyObject* o) { return Py_TYPE(o) == &GraphType; }

// Readies the type (method docs included); returns false with an exception set.
bool ready_graph_type();
// A new CoreGraph instance that owns `g`; nullptr with an exception set on failure.
PyObject* wrap_graph(quill::Graph&& g);

// Borrow rule: any number of shared borrows, or one exclusive borrow.  Both fail at
// once, never wait.
inline bool try_borrow_shared(GraphObject* o) {
    std::intptr_t cur = o->borrow.load(std::memory_order_relaxed);
    do {
        if (cur < 0) return false;
    } while (!o->borrow.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire,
                                              std::memory_order_relaxed));
    return true;
}
inline void release_shared(GraphObject* o) { o->borrow.fetch_sub(1, std::memory_order_release); }
inline bool try_borrow_exclusive(GraphObject* o) {
    std::intptr_t expected = 0;
    return o->borrow.compare_exchange_strong(expected, -1, std::memory_order_acquire,
                                             std::memory_order_relaxed);
}
inline void release_exclusive(GraphObject* o) { o->borrow.store(0, std::memory_order_release); }

// Raise the RuntimeError of a failed borrow; return false.
bool fail_shared_borrow();
bool fail_exclusive_borrow();

// A shared borrow held for a scope.
class SharedBorrow {
public:
    SharedBorrow() = default;
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    ~SharedBorrow() { reset(); }
    bool acquire(GraphObject* o) {
        if (!try_borrow_shared(o)) return false;
        obj_ = o;
        return true;
    }
    void reset() {
        if (obj_) release_shared(obj_);
        obj_ = nullptr;
    }

private:
    GraphObject* obj_ = nullptr;
};

// A graph argument that was only type-checked: the operation borrows it itself, at the
// point of the call where that must happen.
struct UnborrowedGraph {
    GraphObject* obj = nullptr;
};

}  // namespace quillpy
