#pragma once
// Making a serial object from a port name or URL.

#include <Python.h>

namespace quorvelin::serial {

// Checks the URL scheme (only "loop" is known), calls cls(None, *args, **kwargs), sets its
// port to `url` and, unless `do_not_open`, opens it through its own `open`. `kwargs` may be
// nullptr. A new reference, or nullptr with an exception set.
PyObject* for_url(PyObject* cls, PyObject* url, PyObject* args, bool do_not_open, PyObject* kwargs);

// Parses (url, *args, do_not_open=False, **kwargs) and calls for_url with `cls`.
PyObject* for_url_call(PyObject* cls, const char* function, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames);

// The main module's serial_for_url, for the blocking Serial.
extern PyMethodDef serial_for_url_def;

}  // namespace quorvelin::serial
