// The eleven attributes of ListPortInfo. A setter converts its value before it takes the
// exclusive borrow, since the conversion may run Python code (__index__) that reads the object.

#include <cstdint>

#include "list_ports/list_port_info_object.h"
#include "pyapi/ref.h"
#include "pyapi/guarded.h"

namespace quorvelin::list_ports {
namespace {

struct TextField {
    const char* name;
    std::string PortInfo::* member;
};
struct OptionalTextField {
    const char* name;
    std::optional<std::string> PortInfo::* member;
};
struct IdField {
    const char* name;
    std::optional<std::uint16_t> PortInfo::* member;
};

const TextField device{"device", &PortInfo::device};
const TextField name{"name", &PortInfo::name};
const TextField description{"description", &PortInfo::description};
const TextField hwid{"hwid", &PortInfo::hwid};
const OptionalTextField serial_number{"serial_number", &PortInfo::serial_number};
const OptionalTextField location{"location", &PortInfo::location};
const OptionalTextField manufacturer{"manufacturer", &PortInfo::manufacturer};
const OptionalTextField product{"product", &PortInfo::product};
const OptionalTextField interface{"interface", &PortInfo::interface};
const IdField vid{"vid", &PortInfo::vid};
const IdField pid{"pid", &PortInfo::pid};

template <class Field>
const Field& field_of(void* closure) {
    return *static_cast<const Field*>(closure);
}

bool refuse_deletion(PyObject* value, const char* attribute) {
    if (value != nullptr) {
        return false;
    }
    PyErr_Format(PyExc_AttributeError, "cannot delete attribute '%s'", attribute);
    return true;
}

PyObject* get_text(PyObject* self, void* closure) {
    const auto& field = field_of<TextField>(closure);
    auto value = read_shared(self, [&](const PortInfo& info) { return info.*field.member; });
    return value ? text_to_python(*value) : nullptr;
}

int set_text(PyObject* self, PyObject* value, void* closure) {
    const auto& field = field_of<TextField>(closure);
    if (refuse_deletion(value, field.name)) {
        return -1;
    }
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "attribute '%s' must be str, not %T", field.name, value);
        return -1;
    }
    std::optional<std::string> text = text_from_python(value);
    if (!text) {
        return -1;
    }
    return write_exclusive(self, [&](PortInfo& info) { info.*field.member = std::move(*text); }) ? 0 : -1;
}

PyObject* get_optional_text(PyObject* self, void* closure) {
    const auto& field = field_of<OptionalTextField>(closure);
    auto value = read_shared(self, [&](const PortInfo& info) { return info.*field.member; });
    if (!value) {
        return nullptr;
    }
    if (!*value) {
        Py_RETURN_NONE;
    }
    return text_to_python(**value);
}

int set_optional_text(PyObject* self, PyObject* value, void* closure) {
    const auto& field = field_of<OptionalTextField>(closure);
    if (refuse_deletion(value, field.name)) {
        return -1;
    }
    std::optional<std::string> text;
    if (value != Py_None) {
        if (!PyUnicode_Check(value)) {
            PyErr_Format(PyExc_TypeError, "attribute '%s' must be str or None, not %T", field.name, value);
            return -1;
        }
        text = text_from_python(value);
        if (!text) {
            return -1;
        }
    }
    return write_exclusive(self, [&](PortInfo& info) { info.*field.member = std::move(text); }) ? 0 : -1;
}

PyObject* get_id(PyObject* self, void* closure) {
    const auto& field = field_of<IdField>(closure);
    auto value = read_shared(self, [&](const PortInfo& info) { return info.*field.member; });
    if (!value) {
        return nullptr;
    }
    if (!*value) {
        Py_RETURN_NONE;
    }
    return PyLong_FromLong(**value);
}

int set_id(PyObject* self, PyObject* value, void* closure) {
    const auto& field = field_of<IdField>(closure);
    if (refuse_deletion(value, field.name)) {
        return -1;
    }
    std::optional<std::uint16_t> id;
    if (value != Py_None) {
        if (!PyIndex_Check(value)) {
            PyErr_Format(PyExc_TypeError, "attribute '%s' must be int or None, not %T", field.name, value);
            return -1;
        }
        py::Ref number = py::Ref::steal(PyNumber_Index(value));
        if (!number) {
            return -1;
        }
        long raw = PyLong_AsLong(number.get());  // OverflowError beyond a C long
        if (raw == -1 && PyErr_Occurred()) {
            return -1;
        }
        if (raw < 0 || raw > 0xFFFF) {
            PyErr_Format(PyExc_OverflowError, "attribute '%s' must be in 0..65535, not %ld", field.name, raw);
            return -1;
        }
        id = static_cast<std::uint16_t>(raw);
    }
    return write_exclusive(self, [&](PortInfo& info) { info.*field.member = id; }) ? 0 : -1;
}

template <class Field>
void* closure_of(const Field& field) {
    return const_cast<void*>(static_cast<const void*>(&field));
}

}  // namespace

PyGetSetDef list_port_info_getset[] = {
    {"device", py::guarded<get_text>, py::guarded<set_text>, "The device path, e.g. /dev/ttyUSB0.", closure_of(device)},
    {"name", py::guarded<get_text>, py::guarded<set_text>, "The last component of the device path.", closure_of(name)},
    {"description", py::guarded<get_text>, py::guarded<set_text>, "A human-readable description.", closure_of(description)},
    {"hwid", py::guarded<get_text>, py::guarded<set_text>, "A hardware identification text.", closure_of(hwid)},
    {"serial_number", py::guarded<get_optional_text>, py::guarded<set_optional_text>, "USB serial number, or None.",
     closure_of(serial_number)},
    {"location", py::guarded<get_optional_text>, py::guarded<set_optional_text>, "USB bus location, or None.", closure_of(location)},
    {"manufacturer", py::guarded<get_optional_text>, py::guarded<set_optional_text>, "USB manufacturer, or None.",
     closure_of(manufacturer)},
    {"product", py::guarded<get_optional_text>, py::guarded<set_optional_text>, "USB product name, or None.", closure_of(product)},
    {"interface", py::guarded<get_optional_text>, py::guarded<set_optional_text>, "USB interface, or None.", closure_of(interface)},
    {"vid", py::guarded<get_id>, py::guarded<set_id>, "USB vendor id, or None.", closure_of(vid)},
    {"pid", py::guarded<get_id>, py::guarded<set_id>, "USB product id, or None.", closure_of(pid)},
    // The managed per-instance dict is not exposed by the type machinery on its own.
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace quorvelin::list_ports
