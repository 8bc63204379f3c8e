#pragma once
// The asyncio attributes the futures use on every await and every result. The exception
// classes are looked up once per process: an import on each call would cost more than the
// rest of a born-complete await. The running-loop functions are looked up on the module at
// every call instead, so a replacement installed later (as loop-nesting helpers do) is the
// one that runs.

#include <Python.h>

#include "pyapi/ref.h"

namespace quorvelin::future {

enum class AsyncioName {
    CancelledError,     // asyncio.CancelledError
    InvalidStateError,  // asyncio.InvalidStateError
};

// Borrowed, kept for the life of the process; nullptr with the import's exception set.
// Call attached.
PyObject* asyncio_name(AsyncioName name);

// asyncio.get_running_loop(): the loop running in this thread, or nullptr with its
// RuntimeError set. Call attached.
py::Ref get_running_loop();

// asyncio._get_running_loop(): the loop running in this thread or None; nullptr with an
// exception set when the lookup or the call fails. Call attached.
py::Ref peek_running_loop();

}  // namespace quorvelin::future
