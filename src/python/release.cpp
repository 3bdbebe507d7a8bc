#include "release.hpp"

#include <deque>

#include "convert.hpp"

namespace quillpy {

namespace detail {
std::atomic<std::size_t> g_queued_releases{0};
}

namespace {

// One queued result: a Python object, or a native value with the function that gives
// back a piece of it.
struct Held {
    PyObject* obj = nullptr;
    void* native = nullptr;
    bool (*piece)(void*) = nullptr;
};

// Items of a list or entries of a dict given back by one piece.  A piece of 256 items,
// each at most a short list or tuple of ints, is released in some ten microseconds:
// small enough that a handler runs at nearly its own speed between the pieces, large
// enough that the pieces of a result of millions stay within a few thousand pending calls.
constexpr Py_ssize_t kReleasePiece = 256;

// Oldest first.  Under the interpreter lock only one thread touches the queue at a time;
// on a free-threaded build a lock guards it (pieces are taken out under the lock and
// released outside it, so two threads never release the same item).
std::deque<Held> g_queue;
bool g_scheduled = false;  // a pending call is queued and will go on with the queue
#ifdef Py_GIL_DISABLED
PyMutex g_queue_lock = {0};
#define QN_QUEUE_LOCKED PyMutexHold hold(g_queue_lock)
#else
#define QN_QUEUE_LOCKED
#endif

// The method name of the dict pieces, made at import.
PyObject* g_popitem = nullptr;

// What one step gives back: items taken out of the oldest entry, and the entry itself
// when nothing of it is left.
struct Piece {
    PyObject* items[kReleasePiece];
    Py_ssize_t n = 0;
    bool last = false;
    Held entry;
};

// The tail of a list goes first; the list is shortened before its items are released,
// so it never holds a released item.  Slots not yet filled are null.
void take_from_list(PyObject* list, Piece& p) {
    Py_ssize_t n = PyList_GET_SIZE(list);
    for (const Py_ssize_t end = n > kReleasePiece ? n - kReleasePiece : 0; n > end;) {
        p.items[p.n++] = PyList_GET_ITEM(list, --n);
        PyList_SET_ITEM(list, n, nullptr);
        Py_SET_SIZE(list, n);
    }
    p.last = n == 0;
}

// popitem takes the last entry out in constant time; its key and value go with the pair
// it returns.  Should it fail, the rest of the dict goes with the dict.  The exception
// of the interrupted call may still be set (a release at once): it is kept aside.
void take_from_dict(PyObject* dict, Piece& p) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    while (p.n < kReleasePiece && PyDict_GET_SIZE(dict) > 0) {
        PyObject* pair = PyObject_CallMethodNoArgs(dict, g_popitem);
        if (!pair) {
            PyErr_Clear();
            break;
        }
        p.items[p.n++] = pair;
    }
    p.last = p.n < kReleasePiece || PyDict_GET_SIZE(dict) == 0;
    PyErr_Restore(type, value, traceback);
}

// Takes the next piece out of the queue; false when the queue is empty.
bool take_piece(Piece& p) {
    QN_QUEUE_LOCKED;
    if (g_queue.empty()) return false;
    Held& h = g_queue.front();
    if (h.obj && Py_REFCNT(h.obj) == 1 && PyList_CheckExact(h.obj))
        take_from_list(h.obj, p);
    else if (h.obj && Py_REFCNT(h.obj) == 1 && PyDict_CheckExact(h.obj))
        take_from_dict(h.obj, p);
    else
        p.last = true;  // a native value (taken out for one piece), or an object released whole
    if (p.last) {
        p.entry = h;
        g_queue.pop_front();
        detail::g_queued_releases.store(g_queue.size(), std::memory_order_relaxed);
    }
    return true;
}

// Puts a native value that is not all given back yet at the head of the queue again;
// with no room for it, the rest of it goes at once.
void requeue(const Held& h) {
    {
        QN_QUEUE_LOCKED;
        try {
            g_queue.push_front(h);
            detail::g_queued_releases.store(g_queue.size(), std::memory_order_relaxed);
            return;
        } catch (...) {
        }
    }
    while (!h.piece(h.native)) {
    }
}

void give_back(Piece& p) {
    for (Py_ssize_t i = 0; i < p.n; ++i) Py_XDECREF(p.items[i]);
    if (!p.last) return;
    if (p.entry.obj) {
        Py_DECREF(p.entry.obj);
        resume_gc();
    } else if (!p.entry.piece(p.entry.native)) {
        // Out of the queue while its piece ran, so that no other thread ran one of it too.
        requeue(p.entry);
    }
}

// One piece, for a step that cannot wait on signals.
bool release_one_piece() {
    Piece p;
    if (!take_piece(p)) return false;
    give_back(p);
    return true;
}

void release_all_at_once() {
    while (release_one_piece()) {
    }
}

int release_step(void*) {
    release_one_piece();
    {
        QN_QUEUE_LOCKED;
        if (g_queue.empty()) {
            g_scheduled = false;
            return 0;
        }
    }
    if (Py_AddPendingCall(release_step, nullptr) != 0) {
        {
            QN_QUEUE_LOCKED;
            g_scheduled = false;
        }
        release_all_at_once();
    }
    return 0;
}

// Queues `h`; false when the queue has no room for it.
bool enqueue(const Held& h) {
    bool schedule = false;
    {
        QN_QUEUE_LOCKED;
        try {
            g_queue.push_back(h);
        } catch (...) {
            return false;
        }
        detail::g_queued_releases.store(g_queue.size(), std::memory_order_relaxed);
        schedule = !g_scheduled;
        g_scheduled = true;
    }
    if (schedule && Py_AddPendingCall(release_step, nullptr) != 0) {
        {
            QN_QUEUE_LOCKED;
            g_scheduled = false;
        }
        release_all_at_once();
    }
    return true;
}

}  // namespace

bool intern_release_names() {
    return g_popitem || (g_popitem = PyUnicode_InternFromString("popitem")) != nullptr;
}

void release_later(PyObject* obj) {
    pause_gc();
    if (!enqueue(Held{obj, nullptr, nullptr})) {
        Py_DECREF(obj);
        resume_gc();
    }
}

void release_native_later(void* value, bool (*piece)(void*)) {
    if (!enqueue(Held{nullptr, value, piece}))
        while (!piece(value)) {
        }
}

bool finish_releases() {
    while (release_one_piece())
        if (PyErr_CheckSignals() != 0) return false;
    return true;
}

}  // namespace quillpy
