#pragma once
// The constructor shared by the blocking and the asyncio Serial classes.

#include <Python.h>

namespace quorvelin::serial {

// __new__: ignores its arguments and makes an instance of `type` (a subclass keeps its own
// type) over a new, closed port with the default settings.
PyObject* serial_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// __init__: converts the twelve parameters (port, baudrate, bytesize, parity, stopbits,
// timeout, xonxoff, rtscts, write_timeout, dsrdtr, inter_byte_timeout, exclusive) in that
// order, then stores them and opens the port when a name was given.
int serial_init(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace quorvelin::serial
