#pragma once
// The Python class Future of quorvelin.aio: a thin handle on one operation's completion
// state. Instances are made only here, around an OpFuture; Python code cannot create them.
//
// What the other Python-facing parts use:
//   future_type()      the class, to add to the module;
//   wrap(op)           a new Python Future around an OpFuture (from start, spawn or resolved);
//   unwrap(object)     the OpFuture inside a Python Future (result(), cancel(), ...);
//   on_done_here(f, fn)  fn(f) on the thread that completes f.

#include <Python.h>

#include "future/shared.h"

namespace quorvelin::future {

struct FutureObject {
    PyObject_HEAD
    OpFuture future;  // set at creation, never changed
};

// The process-wide class (borrowed), built on first use; nullptr with an exception set.
PyTypeObject* future_type();

// A new Python Future over `future`; nullptr with an exception set. Call attached.
PyObject* wrap(OpFuture future);

// The handle inside a Python Future, or nullptr (no exception set) for any other object.
const OpFuture* unwrap(PyObject* object);

// Registers fn to be called as fn(future_object) on the thread that completes the Future (a
// runtime worker, or the thread that cancels it), inside a copy of this thread's context; at
// once on this thread when the Future is already complete. False with the exception set when
// the context cannot be copied. `future_object` must be a Python Future. Call attached.
bool on_done_here(PyObject* future_object, PyObject* fn);

// Garbage-collector support of the Python Future: the references inside the completion state
// count as the Future's own only while it is the state's sole holder; a task, another handle
// or a blocking waiter that shares the state keeps them alive anyway.
int traverse_sole(const std::shared_ptr<Shared>& shared, visitproc visit, void* arg);
void clear_sole(const std::shared_ptr<Shared>& shared);

}  // namespace quorvelin::future
