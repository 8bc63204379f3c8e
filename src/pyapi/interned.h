#pragma once
// Interned attribute names, made once per process instead of once per call: a str made per
// call misses the type's method cache and costs an allocation.

#include <Python.h>

#include "pyapi/once_cell.h"

namespace quorvelin::py {

// A borrowed interned str of `Text`, kept for the life of the process; nullptr with an
// exception set. Call attached.
template <const char* Text>
PyObject* interned() {
    static OnceCell cell;
    return cell.get([] { return PyUnicode_InternFromString(Text); });
}

}  // namespace quorvelin::py
