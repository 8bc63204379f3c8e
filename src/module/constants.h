#pragma once

#include <Python.h>

namespace quorvelin::module {

// Adds `__version__` and the seventeen parity, stop-bit, byte-size and character constants.
bool add_constants(PyObject* module);

}  // namespace quorvelin::module
