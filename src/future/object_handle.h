#pragma once
// ObjectHandle: a Python object carried by an Outcome through the Python-free engine.

#include <Python.h>

#include "port/outcome.h"

namespace quorvelin::future {

// Takes a new reference to `object`; the last holder releases it through release_anywhere,
// so it may be dropped on any thread. Call attached.
ObjectHandle make_object_handle(PyObject* object);

// The object behind a handle (borrowed).
inline PyObject* object_of(const ObjectHandle& handle) { return static_cast<PyObject*>(handle.get()); }

}  // namespace quorvelin::future
