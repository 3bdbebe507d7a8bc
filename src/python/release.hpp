// Giving back the partly built results of interrupted calls.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

namespace quillpy {

// Releasing millions of objects takes longer than Ctrl-C may wait, so a result whose
// build was interrupted is not released at once: it joins a queue that is given back a
// piece at a time (a list or dict a few hundred items at a time, a native result in one
// go).  Two things give it back:
// - a pending call of the interpreter, which runs where the interpreter checks for
//   signals and re-schedules itself while the queue is not empty, so that the code
//   handling the exception runs between the pieces rather than after all of them;
// - the next long call into the module (finish_releases), before it starts, so that a
//   caller who goes on with another long call at once does not hold two results'
//   memory, and that call does not run with the collector still paused for the last one.
// The collector stays paused while a result of Python objects is queued: a collection
// started meanwhile would walk every container of it.  When the queue cannot take an
// entry, or no pending call can be scheduled, the result is released at once.  (The pause
// is process-wide: should the main thread block right after the interrupt, other threads
// run without collections until it goes on or one of them makes a long call.)

// Makes the names the pieces look up; called once at import.  False with an exception set.
bool intern_release_names();

// Takes over `obj`, a new reference to a partly built result.
void release_later(PyObject* obj);

// Takes over `value`, allocated with new.  `piece` gives back a bounded part of it (some
// tens of microseconds of work) and returns true once nothing is left, having deleted it.
void release_native_later(void* value, bool (*piece)(void*));

// How many heap blocks a piece of a native value gives back: about 4096 frees take
// 20-40 microseconds, the same order as a piece of Python objects.
inline constexpr std::size_t kNativePiece = 4096;

// A native value given back a piece at a time: `Piece(V&)` frees a part of it (about
// kNativePiece blocks) and returns true when it is empty.  For a value of millions of
// heap blocks (a vector of millions of vectors), whose destructor alone runs longer than
// Ctrl-C may wait.
template <auto Piece, class T>
void release_in_pieces(T&& value) {
    using V = std::remove_cvref_t<T>;
    V* held = new (std::nothrow) V(std::move(value));
    if (!held) return;  // no room: `value` was not moved and is freed by its owner, at once
    release_native_later(held, [](void* p) {
        V* v = static_cast<V*>(p);
        if (!Piece(*v)) return false;
        delete v;
        return true;
    });
}

namespace detail {
template <class V>
bool whole(V&) {
    return true;  // the value's destructor frees all of it
}
}  // namespace detail

// The same for a native result released in one go.
template <class T>
void release_later(T&& value) {
    release_in_pieces<detail::whole<std::remove_cvref_t<T>>>(std::forward<T>(value));
}

namespace detail {
extern std::atomic<std::size_t> g_queued_releases;
}

// Whether results are still waiting to be given back (one relaxed load).
inline bool releases_pending() {
    return detail::g_queued_releases.load(std::memory_order_relaxed) != 0;
}

// Gives back everything queued, checking for signals after each piece.  False with the
// signal handler's exception set; what is left stays queued.
bool finish_releases();

}  // namespace quillpy
