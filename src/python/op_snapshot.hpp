// Conversion of the caller's op_snapshot dictionary into the op cache.
#pragma once

#include <Python.h>

#include "conditions.hpp"

namespace quillpy {

// Interns the entry keys; called once at import.  False with an exception set.
bool intern_op_snapshot_keys();

// Fills `out` from a dict (or dict subclass).  Returns false with a Python exception set;
// the exceptions are the caller's to raise unchanged (no argument-name prefix).
bool build_op_cache(PyObject* op_snapshot, quill::OpCache& out);

}  // namespace quillpy
