#pragma once
// Test helper: attaches the calling thread to the embedded interpreter for a scope.

#include <Python.h>

#include <string>

namespace quorvelin::testing {

class Attached {
public:
    Attached() : state_(PyGILState_Ensure()) {}
    ~Attached() { PyGILState_Release(state_); }
    Attached(const Attached&) = delete;
    Attached& operator=(const Attached&) = delete;

private:
    PyGILState_STATE state_;
};

// Evaluates a Python expression in a fresh namespace; a new reference or nullptr.
inline PyObject* eval(const std::string& expression) {
    PyObject* globals = PyDict_New();
    PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
    PyObject* result = PyRun_String(expression.c_str(), Py_eval_input, globals, globals);
    Py_DECREF(globals);
    return result;
}

// The current exception's type name and str(), cleared; "" when none is set.
inline std::string take_error() {
    PyObject* error = PyErr_GetRaisedException();
    if (error == nullptr) {
        return "";
    }
    std::string text = Py_TYPE(error)->tp_name;
    PyObject* str = PyObject_Str(error);
    if (str != nullptr) {
        text += ": ";
        text += PyUnicode_AsUTF8(str);
        Py_DECREF(str);
    }
    Py_DECREF(error);
    return text;
}

}  // namespace quorvelin::testing
