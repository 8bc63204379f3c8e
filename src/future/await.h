#pragma once
// Awaiting a Python Future on an asyncio event loop.

#include <Python.h>

namespace quorvelin::future {

// The await slot of the Future class: needs a running loop in this thread. A finished Future
// gives a Ready (a value) or raises at once (an error or a cancellation); a pending one gives
// the iterator of an asyncio future that completion settles through the loop, and cancelling
// that asyncio future cancels the operation.
PyObject* await_future(PyObject* self);

}  // namespace quorvelin::future
