#pragma once

#include <Python.h>

namespace quorvelin::module {

// Fills the freshly created `_quorvelin` module and its submodules, in their fixed order.
// Returns false with the first Python exception met; nothing done before it is undone.
bool initialise(PyObject* module);

}  // namespace quorvelin::module
