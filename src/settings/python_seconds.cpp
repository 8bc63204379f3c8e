#include "settings/python_seconds.h"

#include <string>

#include "errors/exceptions.h"
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
    // The whole text, even past a NUL that the object's repr may hold.
    exceptions::raise(SerialError::invalid_input("Not a valid timeout: " + serial::describe(object)));
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
