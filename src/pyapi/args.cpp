#include "pyapi/args.h"

#include <algorithm>
#include <string_view>

namespace quorvelin::py {
namespace {

std::size_t positional_limit(const Signature& s) {
    return std::min(s.positional, s.names.size());
}

// Finds the parameter slot of a keyword; names.size() when there is none.
std::size_t slot_of(const Signature& s, PyObject* key) {
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key, &length);
    if (text == nullptr) {
        PyErr_Clear();
        return s.names.size();
    }
    std::string_view name(text, static_cast<std::size_t>(length));
    for (std::size_t i = 0; i < s.names.size(); ++i) {
        if (name == s.names[i]) {
            return i;
        }
    }
    return s.names.size();
}

bool too_many_positional(const Signature& s, Py_ssize_t nargs) {
    std::size_t limit = positional_limit(s);
    if (limit == 0) {
        PyErr_Format(PyExc_TypeError, "%s() takes no positional arguments", s.function);
    } else {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zu positional argument%s (%zd given)",
                     s.function, limit, limit == 1 ? "" : "s", nargs);
    }
    return false;
}

bool place_keyword(const Signature& s, PyObject* key, PyObject* value, std::span<PyObject*> out) {
    std::size_t slot = slot_of(s, key);
    if (slot == s.names.size()) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", s.function, key);
        return false;
    }
    if (out[slot] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", s.function,
                     s.names[slot]);
        return false;
    }
    out[slot] = value;
    return true;
}

bool check_required(const Signature& s, std::span<PyObject*> out) {
    for (std::size_t i = 0; i < s.required; ++i) {
        if (out[i] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", s.function,
                         s.names[i], i + 1);
            return false;
        }
    }
    return true;
}

}  // namespace

bool parse_fastcall(const Signature& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> out) {
    std::fill(out.begin(), out.end(), nullptr);
    nargs = PyVectorcall_NARGS(nargs);
    if (static_cast<std::size_t>(nargs) > positional_limit(s)) {
        return too_many_positional(s, nargs);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        out[static_cast<std::size_t>(i)] = args[i];
    }
    if (kwnames != nullptr) {
        Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (!place_keyword(s, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], out)) {
                return false;
            }
        }
    }
    return check_required(s, out);
}

bool parse_tuple_dict(const Signature& s, PyObject* args, PyObject* kwargs, std::span<PyObject*> out) {
    std::fill(out.begin(), out.end(), nullptr);
    Py_ssize_t nargs = args == nullptr ? 0 : PyTuple_GET_SIZE(args);
    if (static_cast<std::size_t>(nargs) > positional_limit(s)) {
        return too_many_positional(s, nargs);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        out[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
    }
    if (kwargs != nullptr) {
        // The dict is the caller's own, made for this call, so iterating it is safe.
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", s.function);
                return false;
            }
            if (!place_keyword(s, key, value, out)) {
                return false;
            }
        }
    }
    return check_required(s, out);
}

bool parse_bool_argument(const char* name, PyObject* value, bool default_value, bool* result) {
    if (value == nullptr) {
        *result = default_value;
        return true;
    }
    if (!PyBool_Check(value)) {
        PyErr_Format(PyExc_TypeError, "argument '%s' must be bool, not %T", name, value);
        return false;
    }
    *result = value == Py_True;
    return true;
}

}  // namespace quorvelin::py
