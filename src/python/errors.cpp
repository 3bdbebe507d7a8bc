#include "errors.hpp"

#include <exception>
#include <new>

#include "error.hpp"

namespace quillpy {

namespace {

// Made at import, before any thread can call in, and kept for the life of the process.
PyObject* g_panic_type = nullptr;

}  // namespace

bool ready_panic_type() {
    if (g_panic_type) return true;
    g_panic_type = PyErr_NewExceptionWithDoc(
        "quillnet.PanicException",
        "The exception raised when an operation of quillnet fails internally.\n\n"
        "Like SystemExit, this exception is derived from BaseException so that it will "
        "typically propagate all the way up the stack and will not be caught by a plain "
        "`except Exception` handler.",
        PyExc_BaseException, nullptr);
    return g_panic_type != nullptr;
}

PyObject* raise_panic(const std::string& message) {
    PyObject* msg = PyUnicode_DecodeUTF8(message.data(), Py_ssize_t(message.size()), "replace");
    if (!msg) return nullptr;
    PyErr_SetObject(g_panic_type, msg);
    Py_DECREF(msg);
    return nullptr;
}

namespace {

// The Python class of a core failure, nullptr for PanicException.  A cycle through option
// and child edges is a fault of the caller's graph, and a leaf count that no list could
// hold one of its size; every other failure is internal.
PyObject* python_type(quill::Failure failure) {
    switch (failure) {
        case quill::Failure::LeafEdgeCycle: return PyExc_ValueError;
        case quill::Failure::CountTooLarge: return PyExc_OverflowError;
        case quill::Failure::IdOutOfRange:
        case quill::Failure::NoEntry:
        case quill::Failure::NoValidRoot:
        case quill::Failure::LeafNotInCopy:
        case quill::Failure::PartnerNotInCopy:
        case quill::Failure::RestNotInCopy:
        case quill::Failure::CandidateNotInCopy: break;
    }
    return nullptr;
}

}  // namespace

PyObject* translate_exception() {
    try {
        throw;
    } catch (const quill::Error& e) {
        if (PyObject* type = python_type(e.failure)) {
            PyErr_SetString(type, e.message.c_str());
            return nullptr;
        }
        return raise_panic(e.message);
    } catch (const quill::Interrupted&) {
        // The hook left the signal handler's exception set.
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic("unknown internal failure");
    }
    return nullptr;
}

bool check_signals() { return PyErr_CheckSignals() != 0; }

}  // namespace quillpy
