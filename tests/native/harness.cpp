// The runner of the native tests, and the operator new that lets them fail allocations.
#include "harness.hpp"

// ---------------------------------------------------------------------------------------
// Allocation failure for std containers and strings.

void* operator new(std::size_t n) {
    if (quill::fault::tick()) throw std::bad_alloc();
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return ::operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    try {
        return ::operator new(n);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return ::operator new(n, t); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }


// ---------------------------------------------------------------------------------------

int main(int argc, char** argv) {
    int passed = 0, failed = 0;
    for (auto& [name, fn] : registry()) {
        if (argc > 1 && std::string(argv[1]) != name) continue;
        fault::countdown = 0;
        fault::always_move = false;
        fault::tight_arena = false;
        try {
            fn();
            ++passed;
            std::printf("ok      %s\n", name);
        } catch (const CheckFailed&) {
            ++failed;
            std::printf("FAILED  %s\n", name);
        } catch (...) {
            ++failed;
            std::printf("FAILED  %s (unexpected exception)\n", name);
        }
        std::fflush(stdout);
    }
    fault::countdown = 0;
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed ? 1 : 0;
}
