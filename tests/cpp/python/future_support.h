#pragma once
// Helpers for the completion-state and driver tests: Python snippets and bounded waits.

#include <Python.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "attached.h"

namespace quorvelin::testing {

// Runs statements in `globals` (a dict); false with the error printed when they raise.
inline bool exec_in(PyObject* globals, const std::string& code) {
    if (PyDict_GetItemString(globals, "__builtins__") == nullptr) {
        PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
    }
    PyObject* result = PyRun_String(code.c_str(), Py_file_input, globals, globals);
    if (result == nullptr) {
        ADD_FAILURE() << "Python raised: " << take_error();
        return false;
    }
    Py_DECREF(result);
    return true;
}

// Evaluates an expression in `globals`; a new reference or nullptr.
inline PyObject* eval_in(PyObject* globals, const std::string& expression) {
    if (PyDict_GetItemString(globals, "__builtins__") == nullptr) {
        PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
    }
    return PyRun_String(expression.c_str(), Py_eval_input, globals, globals);
}

// The truth of a Python expression; fails the test when it raises.
inline bool truth(PyObject* globals, const std::string& expression) {
    PyObject* value = eval_in(globals, expression);
    if (value == nullptr) {
        ADD_FAILURE() << expression << " raised: " << take_error();
        return false;
    }
    bool result = PyObject_IsTrue(value) == 1;
    Py_DECREF(value);
    return result;
}

}  // namespace quorvelin::testing
