#pragma once
// Interned attribute names for the calls the transport makes on every read and write, made
// once per process instead of once per call.

#include <Python.h>

#include "pyapi/interned.h"
#include "pyapi/ref.h"

namespace quorvelin::transport {

// A borrowed interned str of `Text` (see py::interned).
template <const char* Text>
PyObject* name() {
    return py::interned<Text>();
}

namespace names {
inline constexpr char call_soon[] = "call_soon";
inline constexpr char call_soon_threadsafe[] = "call_soon_threadsafe";
inline constexpr char call_exception_handler[] = "call_exception_handler";
inline constexpr char close[] = "close";
inline constexpr char connection_made[] = "connection_made";
inline constexpr char connection_lost[] = "connection_lost";
inline constexpr char data_received[] = "data_received";
}  // namespace names

// Calls object.<Text>(*args); a new reference or nullptr with the exception set.
template <const char* Text, class... Args>
py::Ref call_method(PyObject* object, Args... args) {
    PyObject* method = name<Text>();
    if (method == nullptr) {
        return {};
    }
    return py::Ref::steal(PyObject_CallMethodObjArgs(object, method, static_cast<PyObject*>(args)..., nullptr));
}

// object.<Text>; a new reference or nullptr with the exception set.
template <const char* Text>
py::Ref get_attribute(PyObject* object) {
    PyObject* attribute = name<Text>();
    if (attribute == nullptr) {
        return {};
    }
    return py::Ref::steal(PyObject_GetAttr(object, attribute));
}

}  // namespace quorvelin::transport
