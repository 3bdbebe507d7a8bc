// The C++ runtime functions that would tie the module to a recent libstdc++.
//
// Everything the module takes from the shared libstdc++ exists there since GCC 4.8
// (GLIBCXX_3.4.19, CXXABI_1.3.7), except three functions that newer compilers emit calls
// to, from inline library code and from `new T[n]`:
//   std::__throw_bad_array_new_length()    GLIBCXX_3.4.29 (GCC 11): std::allocator's
//       check of a request for more elements than the address space holds;
//   __cxa_throw_bad_array_new_length()     CXXABI_1.3.8 (GCC 4.9): the same check of a
//       `new T[n]` expression;
//   std::__throw_out_of_range_fmt(...)      GLIBCXX_3.4.20 (GCC 4.9): the range checks
//       of std::string and std::vector, with their message.
// (Sized operator delete, CXXABI_1.3.9, is avoided by -fno-sized-deallocation.)
// Defined here, the calls bind inside the module at link time: the version script
// (exports.map) keeps these definitions local, so they are neither imported nor exported,
// and the library's own definitions are never asked for.  The module then loads next to
// the libstdc++ of any system from GCC 4.8 on.  CMakeLists.txt builds this file only with
// QUILLNET_PORTABLE_RUNTIME (on by default).
//
// Each throws through a function of the old library.  The two length checks throw
// std::bad_alloc, the base of std::bad_array_new_length (whose type information is itself
// CXXABI_1.3.8); the binding turns either into MemoryError.  The range check formats its
// message as the library does (its format uses only %s, %zu and %%) and throws
// std::out_of_range with it.
#include <cstdarg>
#include <cstdio>
#include <new>
#include <stdexcept>

#if defined(__GLIBCXX__)
namespace std {
[[noreturn]] void __throw_bad_array_new_length() { __throw_bad_alloc(); }

[[noreturn]] void __throw_out_of_range_fmt(const char* format, ...) {
    char message[1024];  // longer messages are cut; the library's are a line
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    __throw_out_of_range(message);
}
}  // namespace std

extern "C" [[noreturn]] void __cxa_throw_bad_array_new_length() { std::__throw_bad_alloc(); }
#endif
