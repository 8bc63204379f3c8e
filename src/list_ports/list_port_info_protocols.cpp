// str, iteration, indexing, hashing, comparison and the USB methods of ListPortInfo.

#include <array>

#include "list_ports/list_port_info.h"
#include "list_ports/list_port_info_object.h"
#include "list_ports/natural_key.h"
#include "list_ports/siphash.h"
#include "pyapi/ref.h"
#include "pyapi/guarded.h"

namespace quorvelin::list_ports {
namespace {

using Triple = std::array<std::string, 3>;

std::optional<Triple> device_description_hwid(PyObject* self) {
    return read_shared(self, [](const PortInfo& info) { return Triple{info.device, info.description, info.hwid}; });
}

// The other side of a comparison: its device, or nothing when it is not a ListPortInfo or
// another thread holds it exclusively. Never leaves an exception set.
std::optional<std::string> device_of_other(PyObject* other) {
    PyTypeObject* type = list_port_info_type();
    if (type == nullptr || !is_list_port_info(other, type)) {
        PyErr_Clear();
        return std::nullopt;
    }
    SharedBorrow borrow(as_port(other)->borrow);
    if (!borrow.held()) {
        return std::nullopt;
    }
    return as_port(other)->info.device;
}

PyObject* equal(PyObject* self, PyObject* other) {
    std::optional<std::string> mine = read_shared(self, [](const PortInfo& info) { return info.device; });
    if (!mine) {
        return nullptr;
    }
    std::optional<std::string> theirs = device_of_other(other);
    return PyBool_FromLong(theirs && *theirs == *mine);
}

// Through the full equality protocol, so a subclass's __eq__ decides.
PyObject* not_equal(PyObject* self, PyObject* other) {
    py::Ref equality = py::Ref::steal(PyObject_RichCompare(self, other, Py_EQ));
    if (!equality) {
        return nullptr;
    }
    int truth = PyObject_IsTrue(equality.get());
    if (truth < 0) {
        return nullptr;
    }
    return PyBool_FromLong(!truth);
}

PyObject* unorderable(PyObject* other) {
    py::Ref type_name = py::Ref::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(other)), "__name__"));
    if (!type_name) {
        return nullptr;
    }
    PyErr_Format(PyExc_TypeError, "unorderable types: ListPortInfo() and %S()", type_name.get());
    return nullptr;
}

PyObject* less(PyObject* self, PyObject* other) {
    std::optional<std::string> mine = read_shared(self, [](const PortInfo& info) { return info.device; });
    if (!mine) {
        return nullptr;
    }
    std::optional<std::string> theirs = device_of_other(other);
    if (!theirs) {
        return unorderable(other);
    }
    return PyBool_FromLong(natural_less(*mine, *theirs));
}

PyObject* usb_description(PyObject* self, PyObject*) {
    auto text = read_shared(self, [](const PortInfo& info) { return info.usb_description(); });
    return text ? text_to_python(*text) : nullptr;
}

PyObject* usb_info(PyObject* self, PyObject*) {
    auto text = read_shared(self, [](const PortInfo& info) { return info.usb_info(); });
    return text ? text_to_python(*text) : nullptr;
}

PyObject* apply_usb_info(PyObject* self, PyObject*) {
    if (!write_exclusive(self, [](PortInfo& info) { info.apply_usb_info(); })) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace

PyObject* list_port_info_str(PyObject* self) {
    auto text = read_shared(self, [](const PortInfo& info) { return info.device + " - " + info.description; });
    return text ? text_to_python(*text) : nullptr;
}

// A snapshot: later changes to the object do not show in a running iteration.
PyObject* list_port_info_iter(PyObject* self) {
    std::optional<Triple> items = device_description_hwid(self);
    if (!items) {
        return nullptr;
    }
    py::Ref list = py::Ref::steal(PyList_New(0));
    if (!list) {
        return nullptr;
    }
    for (const std::string& item : *items) {
        py::Ref text = py::Ref::steal(text_to_python(item));
        if (!text || PyList_Append(list.get(), text.get()) < 0) {
            return nullptr;
        }
    }
    return PyObject_GetIter(list.get());
}

PyObject* list_port_info_subscript(PyObject* self, PyObject* key) {
    if (!PyIndex_Check(key)) {
        PyErr_Format(PyExc_TypeError, "ListPortInfo indices must be integers, not %T", key);
        return nullptr;
    }
    Py_ssize_t index = PyNumber_AsSsize_t(key, PyExc_OverflowError);
    if (index == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    if (index < 0 || index > 2) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        return nullptr;
    }
    std::optional<Triple> items = device_description_hwid(self);
    return items ? text_to_python((*items)[static_cast<std::size_t>(index)]) : nullptr;
}

Py_hash_t list_port_info_hash(PyObject* self) {
    auto digest = read_shared(self, [](const PortInfo& info) { return device_digest(info.device); });
    if (!digest) {
        return -1;
    }
    // Keep the low bits that fit the interpreter's hash width; -1 means "error" to it.
    auto hash = static_cast<Py_hash_t>(*digest);
    return hash == -1 ? -2 : hash;
}

PyObject* list_port_info_richcompare(PyObject* self, PyObject* other, int op) {
    switch (op) {
        case Py_EQ:
            return equal(self, other);
        case Py_NE:
            return not_equal(self, other);
        case Py_LT:
            return less(self, other);
        default:
            Py_RETURN_NOTIMPLEMENTED;
    }
}

PyMethodDef list_port_info_methods[] = {
    {"usb_description", py::guarded<usb_description>, METH_NOARGS,
     "usb_description($self)\n--\n\n"
     "The product and interface (\"{product} - {interface}\"), else the product, else the name."},
    {"usb_info", py::guarded<usb_info>, METH_NOARGS,
     "usb_info($self)\n--\n\n"
     "The USB identification text: \"USB VID:PID=vvvv:pppp\" with SER= and LOCATION= when known."},
    {"apply_usb_info", py::guarded<apply_usb_info>, METH_NOARGS,
     "apply_usb_info($self)\n--\n\n"
     "Sets description from usb_description() and hwid from usb_info()."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace quorvelin::list_ports
