// The one exception type of the core, and the cancellation hook of long searches.
#pragma once

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
//    (a node with n links read, a path of n ids copied, a caller's list of n ids taken
//    in), so that the hook is consulted at a steady rate of work however uneven the steps.
//    A loop whose iterations each do a bounded, small amount of work over something the
//    call already holds (a list it built or was given) may count its whole length with
//    one step(n), before or after it runs; a loop whose iterations can do unbounded work
//    (a search, a scan of a node's links) counts each iteration.
//  - Links are counted where they are first scanned.  A pass that goes again over the
//    nodes a walk or numbering of the same call has just gone through, reading the same
//    links (the copy after the numbering, the connection passes of the hashes after
//    their walk), counts one unit per node: counting every link a second time costs the
//    hot copies and hashes a few percent.  Its checks then come at most kEvery nodes
//    apart rather than kEvery units.
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
    static void check() {
        if (g_cancel_hook && g_cancel_hook()) raise_interrupted();
    }

private:
    static constexpr std::uint32_t kEvery = 4096;
    std::uint64_t count_ = 0;
};

}  // namespace quill
