#include "settings/python_seconds.h"

#include <string>

#include "serial/describe.h"

namespace quorvelin::settings {

std::optional<Seconds> extract_seconds(PyObject* object) {
    if (PyLong_Check(object)) {
        int overflow = 0;
        long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
        if (overflow == 0 && !(value == -1 && PyErr_Occurred())) {
            return Seconds::from_int(value);
        }
        PyErr_Clear();
    }
    double value = PyFloat_AsDouble(object);
    if (!(value == -1.0 && PyErr_Occurred())) {
        return Seconds::from_float(value);
    }
    PyErr_Clear();
    std::string text = "Not a valid timeout: " + serial::describe(object);
    PyErr_SetString(PyExc_ValueError, text.c_str());
    return std::nullopt;
}

PyObject* seconds_to_python(const std::optional<Seconds>& timeout) {
    if (!timeout) {
        Py_RETURN_NONE;
    }
    if (timeout->is_int()) {
        return PyLong_FromLongLong(timeout->as_int());
    }
    return PyFloat_FromDouble(timeout->as_float());
}

}  // namespace quorvelin::settings
