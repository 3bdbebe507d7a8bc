// PanicException and the translation of core failures into Python exceptions.
#pragma once

#include <Python.h>

#include <string>

namespace quillpy {

// Creates the PanicException class; called once at import, before any other thread can
// call in, so that every thread reads the same class without a lock.  False with an
// exception set.
bool ready_panic_type();
// Sets PanicException(message); always returns nullptr for convenience.
PyObject* raise_panic(const std::string& message);
// Call inside a catch (...) block: turns the exception in flight into a Python error.
// Returns nullptr.
PyObject* translate_exception();
// Polls for signals from long core searches (installed as the core's cancellation hook).
bool check_signals();

}  // namespace quillpy
