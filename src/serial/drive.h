#pragma once
#include <Python.h>
#include "port/outcome.h"
#include "runtime/operation.h"
namespace quorvelin::serial {
// Runs one blocking call's operation to its end (Serial::run): inline on the calling thread
// for up to 50 ms with the interpreter released, then as a runtime task waited for in 50 ms
// slices with signal checks; cancelled when the wait raises. Call attached. Returns a new
// reference, or nullptr with the Python exception set.
PyObject* run(runtime::Operation<Outcome> operation);

// The driver itself, without the worker hand-off of run().
PyObject* drive(runtime::Operation<Outcome> operation);
}
