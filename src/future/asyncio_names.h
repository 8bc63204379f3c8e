#pragma once
// The asyncio attributes the futures use on every await and every result, looked up once per
// process: an import on each call would cost more than the rest of a born-complete await.

#include <Python.h>

namespace quorvelin::future {

enum class AsyncioName {
    GetRunningLoop,       // asyncio.get_running_loop
    PeekRunningLoop,      // asyncio._get_running_loop
    CancelledError,       // asyncio.CancelledError
    InvalidStateError,    // asyncio.InvalidStateError
};

// Borrowed, kept for the life of the process; nullptr with the import's exception set.
// Call attached.
PyObject* asyncio_name(AsyncioName name);

}  // namespace quorvelin::future
