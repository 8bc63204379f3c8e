#include "aio/collect_arguments.h"

#include <algorithm>

namespace quorvelin::aio {

bool collect_arguments(const py::Signature& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
             std::span<PyObject*> named, py::Ref* extra, py::Ref* keywords) {
    std::fill(named.begin(), named.end(), nullptr);
    nargs = PyVectorcall_NARGS(nargs);
    const auto by_position = static_cast<Py_ssize_t>(std::min(s.positional, s.names.size()));
    if (nargs > by_position && extra == nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd were given", s.function,
                     by_position, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < std::min(nargs, by_position); ++i) {
        named[static_cast<std::size_t>(i)] = args[i];
    }
    if (nargs > by_position) {
        *extra = py::Ref::steal(PyTuple_New(nargs - by_position));
        if (!*extra) {
            return false;
        }
        for (Py_ssize_t i = by_position; i < nargs; ++i) {
            PyTuple_SET_ITEM(extra->get(), i - by_position, Py_NewRef(args[i]));
        }
    }
    const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < keyword_count; ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        PyObject* value = args[nargs + i];
        std::size_t slot = 0;
        while (slot < s.names.size() && !PyUnicode_EqualToUTF8(key, s.names[slot])) {
            ++slot;
        }
        if (slot < s.names.size()) {
            if (named[slot] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", s.function,
                             s.names[slot]);
                return false;
            }
            named[slot] = value;
            continue;
        }
        if (!*keywords) {
            *keywords = py::Ref::steal(PyDict_New());
            if (!*keywords) {
                return false;
            }
        }
        if (PyDict_SetItem(keywords->get(), key, value) < 0) {
            return false;
        }
    }
    for (std::size_t i = 0; i < s.required; ++i) {
        if (named[i] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", s.function, s.names[i],
                         i + 1);
            return false;
        }
    }
    return true;
}

}  // namespace quorvelin::aio
