#pragma once
// How values enter the module tree: every addition also appends its name to `__all__`.

#include <Python.h>

#include "pyapi/ref.h"

namespace quorvelin::module {

// Appends `name` to the module's `__all__` (created when missing), then sets the attribute.
// Returns false with the Python exception set.
bool add_value(PyObject* module, const char* name, py::Ref value);
// Adds a class under its Python class name.
bool add_type(PyObject* module, PyTypeObject* type);
// Adds a built-in function bound to `module`, under its `__name__`. `def` must be static.
bool add_function(PyObject* module, PyMethodDef* def);
// A new module named `dotted_name`, declared as not needing the interpreter lock.
py::Ref new_submodule(const char* dotted_name);
// Adds `child` to `parent` under `name` and enters it in sys.modules under its own name.
bool add_submodule(PyObject* parent, const char* name, PyObject* child);

}  // namespace quorvelin::module
