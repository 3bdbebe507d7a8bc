// The one exception type of the core, and the cancellation hook of long searches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quill {

// What went wrong, in the terms of the graph and its operations.  Each failure carries
// its message; the binding layer decides how each one reaches its caller.
enum class Failure : std::uint8_t {
    IdOutOfRange,        // a node id that names no node
    NoEntry,             // an id without an entry in an id map (a node outside a copy)
    NoValidRoot,         // a copy asked of a graph whose root names no node
    LeafEdgeCycle,       // option and child edges lead from a node back to itself
    CountTooLarge,       // more leaf positions than any list could hold
    // The glue search met an id that the copy of the graph at hand does not hold:
    LeafNotInCopy,       //   the leaf being glued
    PartnerNotInCopy,    //   the partner it is glued onto
    RestNotInCopy,       //   a leaf still waiting to be glued
    CandidateNotInCopy,  //   a candidate
};

struct Error {
    Failure failure;
    std::string message;
};

// "index out of bounds: the len is {len} but the index is {index}"
[[noreturn]] void out_of_range(std::uint64_t len, std::uint64_t index);
// "cycle through option and child edges at node {node}"
[[noreturn]] void leaf_edge_cycle(std::uint64_t node);
// Any other failure; its message is fixed.
[[noreturn]] void fail(Failure failure);

// Thrown when the cancellation hook asks a running search to stop.  The hook has already
// recorded the reason (the binding layer's hook leaves a Python exception set).
struct Interrupted {};

// The hook returns true when the current call should stop.  Installed once by the
// binding layer; the core never calls it except through Poll.
using CancelHook = bool (*)();
void set_cancel_hook(CancelHook hook);
[[noreturn]] void raise_interrupted();
extern CancelHook g_cancel_hook;

// Loops over lists that together are known to be short (at most Poll::kEvery entries),
// counted by the caller's own step: the same calls as Poll's scans, without the test for
// a long list, so that one body can serve both.
struct PlainScan {
    template <class Each>
    [[gnu::always_inline]] std::size_t scan(std::size_t n, Each&& each) {
        for (std::size_t i = 0; i < n; ++i) each(i);
        return n;
    }
    template <class Each>
    [[gnu::always_inline]] std::size_t scan_reversed(std::size_t n, Each&& each) {
        for (std::size_t i = n; i-- > 0;) each(i);
        return n;
    }
};

// Polls the cancellation hook every few thousand units of work.
//
// The rule for polling:
//  - Which loops poll: every loop whose trip count can grow with the graph, with the
//    caller's lists (ids, conditions, the op cache) or with the output of a search.  A
//    call makes one Poll and hands it to everything it runs, helpers and nested searches
//    included, so that its whole work is counted against one budget.
//  - What a unit is: one node visited, copied or hashed; one list entry scanned (a node's
//    links, the ids of a caller's list, the positions of a condition); one item produced
//    (an id or pair of a result, a position of a condition, a condition, a trace, a cut).
//  - With what weight: step() for one unit; step(n) for a step that does n units at once
//    (a node with a few links read, a path of n ids copied), so that the hook is
//    consulted at a steady rate of work however uneven the steps.  A loop whose
//    iterations can do unbounded work (a search) counts each iteration.
//  - A scan of one list polls within it: a node's links, a caller's list of ids, the
//    positions of a condition or an id list being copied are gone through with scan() or
//    scan_reversed() (or counted entry by entry), which step once per kEvery entries, so
//    that a single huge list is never one unit and the hook is consulted at most kEvery
//    entries apart inside it.  step(n) after the fact is only for n known to be small
//    (the few links a node keeps in itself) or for a copy that runs at memory speed (a
//    block copied in one go, at most a few milliseconds even for millions of entries).
//  - Links are counted where they are first scanned.  A pass that goes again over the
//    nodes a walk or numbering of the same call has just gone through, reading the same
//    links (the copy after the numbering, the connection passes of the hashes after
//    their walk), counts one unit per node: counting every link a second time costs the
//    hot copies and hashes a few percent.  Its checks then come at most kEvery nodes
//    apart rather than kEvery units; a list longer than the few links a node keeps in
//    itself is still scanned with scan(), so that a node with millions of links is no
//    single unit there either.
//  - Which operations never poll: per-node queries (a node's kind, payload or lists, its
//    neighbours), the construction operations, the merge of two value nodes, and scalar
//    operations.  They run no Python code, which the binding relies on, and their work
//    is bounded by lists that the caller built one call per entry.  The graph record
//    never polls either: a mutation must not stop between its first change and its last.
class Poll {
public:
    void step() {
        if (++count_ >= kEvery) {
            count_ = 0;
            check();
        }
    }
    void step(std::uint64_t units) {
        count_ += units;
        if (count_ >= kEvery) {
            count_ = 0;
            check();
        }
    }
    // Calls each(i) for i = 0 .. n-1 in order, and steps after every full kEvery of them
    // before the last part.  Returns the length of the last part (at most kEvery, all of
    // n for a short list), which the caller counts in its own step: a short list then
    // costs no more than it did, and a long one is checked inside.
    template <class Each>
    [[gnu::always_inline]] std::size_t scan(std::size_t n, Each&& each) {
        if (n > kEvery) [[unlikely]]
            return scan_long(n, each);
        for (std::size_t i = 0; i < n; ++i) each(i);
        return n;
    }
    // The same from the last entry to the first: each(n-1), ..., each(0).
    template <class Each>
    [[gnu::always_inline]] std::size_t scan_reversed(std::size_t n, Each&& each) {
        if (n > kEvery) [[unlikely]]
            return scan_reversed_long(n, each);
        for (std::size_t i = n; i-- > 0;) each(i);
        return n;
    }
    static void check() {
        if (g_cancel_hook && g_cancel_hook()) raise_interrupted();
    }

    // Units between two consultations of the hook.  A unit is a few nanoseconds of work
    // (one node, one list entry), so 4096 of them are some microseconds: a Ctrl-C is
    // answered well within a millisecond, while the hook (a check of the interpreter's
    // pending signals, some tens of nanoseconds) costs the hot walks and copies under
    // one percent.  A power of two, so that a long list's steps are whole blocks.
    static constexpr std::uint32_t kEvery = 4096;

private:
    std::uint64_t count_ = 0;

    // The long lists, out of line so that the loops of the short ones stay as they were.
    template <class Each>
    [[gnu::noinline]] std::size_t scan_long(std::size_t n, Each& each) {
        std::size_t i = 0;
        while (n - i > kEvery) {
            for (const std::size_t end = i + kEvery; i < end; ++i) each(i);
            step(kEvery);
        }
        const std::size_t last = n - i;
        for (; i < n; ++i) each(i);
        return last;
    }
    template <class Each>
    [[gnu::noinline]] std::size_t scan_reversed_long(std::size_t n, Each& each) {
        std::size_t i = n;
        while (i > kEvery) {
            for (const std::size_t end = i - kEvery; i > end;) each(--i);
            step(kEvery);
        }
        const std::size_t last = i;
        while (i > 0) each(--i);
        return last;
    }
};

}  // namespace quill
