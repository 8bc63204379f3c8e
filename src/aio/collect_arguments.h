#pragma once
// Argument parsing for functions that also take *args and/or **kwargs.

#include <Python.h>

#include <span>

#include "pyapi/args.h"
#include "pyapi/ref.h"

namespace quorvelin::aio {

// Sorts a call into the named parameters (positional or keyword, up to `positional` of them
// by position), further positional arguments and the remaining keywords. `extra` and
// `keywords` stay empty when there is nothing for them.
// False with a TypeError set when the call does not fit; `extra` null refuses surplus
// positional arguments.
bool collect_arguments(const py::Signature& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       std::span<PyObject*> named, py::Ref* extra, py::Ref* keywords);

}  // namespace quorvelin::aio
