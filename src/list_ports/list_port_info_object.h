#pragma once
// The layout of a ListPortInfo instance and the borrow discipline its members follow.
// Private to the ListPortInfo sources.

#include <Python.h>

#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "list_ports/borrow_flag.h"
#include "list_ports/port_info.h"

namespace quorvelin::list_ports {

struct ListPortInfoObject {
    PyObject_HEAD
    BorrowFlag borrow;
    PortInfo info;
};

inline ListPortInfoObject* as_port(PyObject* object) { return reinterpret_cast<ListPortInfoObject*>(object); }

inline bool is_list_port_info(PyObject* object, PyTypeObject* type) { return PyObject_TypeCheck(object, type); }

// Runs `read` on the data under a shared borrow and returns what it gives; nothing, with
// RuntimeError set, when another thread holds the exclusive borrow. `read` must not call Python.
template <class Read>
auto read_shared(PyObject* self, Read read) -> std::optional<std::invoke_result_t<Read, const PortInfo&>> {
    SharedBorrow borrow(as_port(self)->borrow);
    if (!borrow.held()) {
        PyErr_SetString(PyExc_RuntimeError, "ListPortInfo is being changed by another thread");
        return std::nullopt;
    }
    return read(static_cast<const PortInfo&>(as_port(self)->info));
}

// Runs `write` on the data under the exclusive borrow; false, with RuntimeError set, when
// another thread holds any borrow. `write` must not call Python.
template <class Write>
bool write_exclusive(PyObject* self, Write write) {
    ExclusiveBorrow borrow(as_port(self)->borrow);
    if (!borrow.held()) {
        PyErr_SetString(PyExc_RuntimeError, "ListPortInfo is being used by another thread");
        return false;
    }
    write(as_port(self)->info);
    return true;
}

// A str from UTF-8 held by the object. The object holds valid UTF-8 only (sysfs bytes are
// decoded when it is made), so the str is the very text that hashing and comparing use.
inline PyObject* text_to_python(std::string_view text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

// The UTF-8 of a str; nothing, with the encoding error set, for lone surrogates.
inline std::optional<std::string> text_from_python(PyObject* text) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (utf8 == nullptr) {
        return std::nullopt;
    }
    return std::string(utf8, static_cast<std::size_t>(size));
}

// The member tables, defined beside the code they name.
extern PyGetSetDef list_port_info_getset[];
extern PyMethodDef list_port_info_methods[];
PyObject* list_port_info_str(PyObject* self);
PyObject* list_port_info_iter(PyObject* self);
PyObject* list_port_info_subscript(PyObject* self, PyObject* key);
Py_hash_t list_port_info_hash(PyObject* self);
PyObject* list_port_info_richcompare(PyObject* self, PyObject* other, int op);

}  // namespace quorvelin::list_ports
