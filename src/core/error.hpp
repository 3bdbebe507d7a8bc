// The one exception type of the core, and the cancellation hook of long searches.
#pragma once

#include <cstdint>
#include <string>

namespace quill {

// How the binding layer reports a failure to the caller.  Almost every failure is an
// internal one (Panic); a few operations fail with a more specific class.
enum class ErrorKind { Panic, Value, Key, Type, Overflow };

struct Error {
    ErrorKind kind;
    std::string message;
};

[[noreturn]] void fail(std::string message);  // ErrorKind::Panic
[[noreturn]] void fail(ErrorKind kind, std::string message);
// "index out of bounds: the len is {len} but the index is {index}"
[[noreturn]] void out_of_range(std::uint64_t len, std::uint64_t index);
// "no entry found for key"
[[noreturn]] void missing_key();

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
