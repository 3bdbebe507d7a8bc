// PanicException and the translation of core failures into Python exceptions.
#pragma once

#include <Python.h>

#include <string>

namespace quillpy {

// The PanicException class, created on first use (new reference not returned).
PyObject* panic_type();
// Sets PanicException(message); always returns nullptr for convenience.
PyObject* raise_panic(const std::string& message);
// Call inside a catch (...) block: turns the exception in flight into a Python error.
// Returns nullptr.
PyObject* translate_exception();
// Polls for signals from long core searches (installed as the core's cancellation hook).
bool check_signals();

}  // namespace quillpy
