#pragma once
// quorvelin.aio.Serial: SerialBase with I/O methods that return a Future at once.

#include <Python.h>

namespace quorvelin::aio {

// The process-wide class (borrowed), created on first use; nullptr with an exception set.
PyTypeObject* aio_serial_type();

// quorvelin.aio.serial_for_url, making instances of that class.
extern PyMethodDef serial_for_url_def;

}  // namespace quorvelin::aio
