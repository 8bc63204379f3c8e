#pragma once
// Argument parsing for METH_FASTCALL | METH_KEYWORDS functions and for tp_new/tp_init.
//
// Parameters are positional-or-keyword, the first `required` of them required. Each slot of
// `out` receives a borrowed reference or nullptr when the argument was not given.

#include <Python.h>

#include <cstddef>
#include <span>

namespace quorvelin::py {

struct Signature {
    const char* function;  // as shown in messages, e.g. "comports"
    std::span<const char* const> names;
    std::size_t required = 0;
    // Positional parameters accepted; names after this are keyword-only.
    std::size_t positional = static_cast<std::size_t>(-1);
};

// Returns false with a TypeError set when the arguments do not fit.
bool parse_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> out);
bool parse_tuple_dict(const Signature& signature, PyObject* args, PyObject* kwargs,
                      std::span<PyObject*> out);

// A bool argument that must be exactly True or False; TypeError naming it otherwise.
bool parse_bool_argument(const char* name, PyObject* value, bool default_value, bool* result);

}  // namespace quorvelin::py
