#pragma once
// Serial: the blocking serial port, SerialBase with blocking I/O, a context manager and
// line iteration.

#include <Python.h>

namespace quorvelin::serial {

// The process-wide class (borrowed), created on first use; nullptr with an exception set.
PyTypeObject* serial_type();

}  // namespace quorvelin::serial
