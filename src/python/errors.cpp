#include "errors.hpp"

#include <exception>
#include <new>

#include "error.hpp"

namespace quillpy {

PyObject* panic_type() {
    static PyObject* type = nullptr;
    if (!type) {
        type = PyErr_NewExceptionWithDoc(
            "quillnet.PanicException",
            "The exception raised when an operation of quillnet fails internally.\n\n"
            "Like SystemExit, this exception is derived from BaseException so that it will "
            "typically propagate all the way up the stack and will not be caught by a plain "
            "`except Exception` handler.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

PyObject* raise_panic(const std::string& message) {
    PyObject* type = panic_type();
    if (!type) return nullptr;
    PyObject* msg = PyUnicode_DecodeUTF8(message.data(), Py_ssize_t(message.size()), "replace");
    if (!msg) return nullptr;
    PyErr_SetObject(type, msg);
    Py_DECREF(msg);
    return nullptr;
}

static PyObject* kind_type(quill::ErrorKind kind) {
    switch (kind) {
        case quill::ErrorKind::Value: return PyExc_ValueError;
        case quill::ErrorKind::Key: return PyExc_KeyError;
        case quill::ErrorKind::Type: return PyExc_TypeError;
        case quill::ErrorKind::Overflow: return PyExc_OverflowError;
        case quill::ErrorKind::Panic: break;
    }
    return nullptr;
}

PyObject* translate_exception() {
    try {
        throw;
    } catch (const quill::Error& e) {
        if (PyObject* type = kind_type(e.kind)) {
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
