#pragma once
// What our native awaitables share with coroutines: the argument forms of send() and throw(),
// how a step ends with a value, and how throw() raises what it was given.

#include <Python.h>

namespace quorvelin::py {

// Checks the arguments of send(_value); false with a TypeError when they do not fit.
bool parse_send(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Parses throw(exception, _value=None, _traceback=None): the exception argument (borrowed),
// or nullptr with a TypeError.
PyObject* parse_throw(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Raises what throw() was given: a class is instantiated first; anything that is then not an
// exception instance is a TypeError. Always returns nullptr.
PyObject* raise_thrown(PyObject* exception);

// Ends a step with `value`: raises StopIteration made with the value as its one argument, so
// a tuple stays one value. Always returns nullptr.
PyObject* stop_with(PyObject* value);

}  // namespace quorvelin::py
