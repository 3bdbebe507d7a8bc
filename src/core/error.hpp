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

// Polls the cancellation hook every few thousand units of work.  A unit is one node
// visited, copied or hashed, one entry scanned, or one item produced; a loop whose steps
// do uneven amounts of work reports each step's size with step(n), so that the hook is
// consulted at a steady rate whatever the size of one step.
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
