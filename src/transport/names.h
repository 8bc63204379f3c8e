#pragma once
// The names of the methods the transport calls on every read and write (see
// pyapi/method_calls.h for how they are called).

#include <Python.h>

#include "pyapi/method_calls.h"
#include "pyapi/ref.h"

namespace quorvelin::transport {

using py::call_method;
using py::interned;

namespace names {
inline constexpr char call_soon[] = "call_soon";
inline constexpr char call_soon_threadsafe[] = "call_soon_threadsafe";
inline constexpr char call_exception_handler[] = "call_exception_handler";
inline constexpr char close[] = "close";
inline constexpr char connection_made[] = "connection_made";
inline constexpr char connection_lost[] = "connection_lost";
inline constexpr char data_received[] = "data_received";
}  // namespace names

// object.<Text>; a new reference or nullptr with the exception set.
template <const char* Text>
py::Ref get_attribute(PyObject* object) {
    PyObject* attribute = interned<Text>();
    if (attribute == nullptr) {
        return {};
    }
    return py::Ref::steal(PyObject_GetAttr(object, attribute));
}

}  // namespace quorvelin::transport
