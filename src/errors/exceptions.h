#pragma once
// The module's Python exception classes and the raising of a SerialError.

#include <Python.h>

#include "errors/serial_error.h"

namespace quorvelin::exceptions {

// The process-wide classes, created on first use. Borrowed; nullptr with an exception set
// when the interpreter refuses to create one. Call attached.
PyObject* serial_exception();
PyObject* serial_timeout_exception();
PyObject* port_not_open_error();

// Raises the Python exception for `error`; always returns nullptr so callers can
// `return raise(...)`. Call attached.
PyObject* raise(SerialError error);
PyObject* raise(const ExceptionSpec& spec);

}  // namespace quorvelin::exceptions
