#pragma once
// The seven I/O methods of both Serial classes, up to the operation: each converts the Python
// arguments in parameter order and builds the operation over a new reference to the object's
// port. The blocking class runs it to its end, the asyncio class starts it as a future.
// Call attached; nullopt with the conversion's exception set (nothing was built then).

#include <Python.h>

#include <optional>
#include <string>

#include "port/outcome.h"
#include "runtime/operation.h"

namespace quorvelin::serial {

using MaybeOperation = std::optional<runtime::Operation<Outcome>>;

// The converted arguments alone: read's size and write's data; nullopt with the
// conversion's exception set.
std::optional<std::size_t> read_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
std::optional<std::string> write_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

MaybeOperation read_operation(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
MaybeOperation read_until_operation(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
MaybeOperation readline_operation(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
MaybeOperation readlines_operation(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
MaybeOperation write_operation(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
MaybeOperation send_break_operation(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
runtime::Operation<Outcome> flush_operation(PyObject* self);

// `read_all`: `self.read(self.in_waiting)`, both looked up by name so overrides take part.
PyObject* read_all(PyObject* self, PyObject* unused);

}  // namespace quorvelin::serial
