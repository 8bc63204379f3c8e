#pragma once
// Ready: what awaiting a Future that already holds a value iterates. It yields once, then
// stops with the value, so the await costs one pass through the event loop and no asyncio
// future, no callback and no wake-up from another thread.

#include <Python.h>

#include "pyapi/ref.h"

namespace quorvelin::future {

// A new Ready holding `value`; nullptr with an exception set. Call attached.
PyObject* make_ready(py::Ref value);

}  // namespace quorvelin::future
