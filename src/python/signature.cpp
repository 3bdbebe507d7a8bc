#include "signature.hpp"

#include <deque>
#include <vector>

namespace quillpy {

namespace {

// "CoreGraph.name()" for a method, "name()" for a module function.
std::string func_label(const Sig& sig) {
    std::string s;
    if (sig.owner) {
        s += sig.owner;
        s += '.';
    }
    s += sig.name;
    s += "()";
    return s;
}

std::size_t required_count(const Sig& sig) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < sig.count; ++i)
        if (!sig.params[i].default_text) ++n;
    return n;
}

void missing_required(const Sig& sig, PyObject** slots) {
    std::vector<const char*> names;
    for (std::size_t i = 0; i < sig.count; ++i)
        if (!slots[i] && !sig.params[i].default_text) names.push_back(sig.params[i].name);
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2)
                list += " and ";
            else if (i + 1 == names.size())
                list += ", and ";
            else
                list += ", ";
        }
        list += '\'';
        list += names[i];
        list += '\'';
    }
    std::string msg = func_label(sig) + " missing " + std::to_string(names.size()) +
                      " required positional " + (names.size() == 1 ? "argument" : "arguments") +
                      ": " + list;
    PyErr_SetString(PyExc_TypeError, msg.c_str());
}

}  // namespace

void too_many_positional(const Sig& sig, Py_ssize_t given) {
    std::size_t req = required_count(sig);
    std::string msg = func_label(sig) + " takes ";
    if (req == sig.count)
        msg += std::to_string(sig.count);
    else
        msg += "from " + std::to_string(req) + " to " + std::to_string(sig.count);
    msg += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") +
           " given";
    PyErr_SetString(PyExc_TypeError, msg.c_str());
}

void unexpected_keyword(const Sig& sig, PyObject* keyword) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
                 func_label(sig).c_str(), keyword);
}

bool bind_args(const Sig& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** slots) {
    const std::size_t n = sig.count;
    if (std::size_t(nargs) > n) {
        too_many_positional(sig, nargs);
        return false;
    }
    for (std::size_t i = 0; i < n; ++i) slots[i] = i < std::size_t(nargs) ? args[i] : nullptr;
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            std::size_t found = n;
            for (std::size_t i = 0; i < n; ++i) {
                if (PyUnicode_Check(key) &&
                    PyUnicode_CompareWithASCIIString(key, sig.params[i].name) == 0) {
                    found = i;
                    break;
                }
            }
            if (found == n) {
                unexpected_keyword(sig, key);
                return false;
            }
            if (slots[found]) {
                PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                             func_label(sig).c_str(), sig.params[found].name);
                return false;
            }
            slots[found] = args[nargs + k];
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (!slots[i] && !sig.params[i].default_text) {
            missing_required(sig, slots);
            return false;
        }
    }
    return true;
}

std::string text_signature(const Sig& sig) {
    std::string s = sig.name;
    s += '(';
    bool first = true;
    if (sig.owner) {
        s += "$self";
        first = false;
    }
    for (std::size_t i = 0; i < sig.count; ++i) {
        if (!first) s += ", ";
        first = false;
        s += sig.params[i].name;
        if (sig.params[i].default_text) {
            s += '=';
            s += sig.params[i].default_text;
        }
    }
    s += ")\n--\n\n";
    return s;
}

void attach_docs(PyMethodDef* defs, const Sig* const* sigs) {
    static std::deque<std::string> storage;  // docs live as long as the process
    for (std::size_t i = 0; defs[i].ml_name; ++i) {
        storage.push_back(text_signature(*sigs[i]));
        defs[i].ml_doc = storage.back().c_str();
    }
}

}  // namespace quillpy
