// SerialTransport: a Python subclass of asyncio.Transport, built once at run time with type(),
// whose methods and properties all forward to the _TransportCore in its slot "_core".
// Builtin functions do not bind as methods, so each forwarder is wrapped in
// functools.partialmethod, which passes the instance as the first argument.

#include <array>

#include "pyapi/method.h"
#include "pyapi/once_cell.h"
#include "pyapi/ref.h"
#include "transport/transport.h"
#include "pyapi/guarded.h"

namespace quorvelin::transport {
namespace {

constexpr std::array<const char*, 18> FORWARDED = {
    "get_extra_info", "is_closing",     "is_reading",
    "close",          "abort",          "write",
    "writelines",     "can_write_eof",  "write_eof",
    "pause_reading",  "resume_reading", "set_write_buffer_limits",
    "get_write_buffer_limits", "get_write_buffer_size", "flush",
    "get_protocol",   "set_protocol",   "__repr__",
};

py::Ref core_of_transport(PyObject* transport) {
    return py::Ref::steal(PyObject_GetAttrString(transport, "_core"));
}

// Bound to the method's name: calls self._core.<name>(*rest, **kwargs).
PyObject* forward_method(PyObject* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Py_ssize_t count = PyVectorcall_NARGS(nargs);
    if (count < 1) {
        PyErr_Format(PyExc_TypeError, "SerialTransport.%U() needs the transport as its first argument", name);
        return nullptr;
    }
    py::Ref core = core_of_transport(args[0]);
    if (!core) {
        return nullptr;
    }
    py::Ref method = py::Ref::steal(PyObject_GetAttr(core.get(), name));
    if (!method) {
        return nullptr;
    }
    return PyObject_Vectorcall(method.get(), args + 1, static_cast<std::size_t>(count - 1), kwnames);
}

// Bound to the attribute's name: self._core.<name>.
PyObject* get_from_core(PyObject* name, PyObject* transport) {
    py::Ref core = core_of_transport(transport);
    if (!core) {
        return nullptr;
    }
    return PyObject_GetAttr(core.get(), name);
}

PyMethodDef forward_def = {
    "forward_to_core",
    py::as_cfunction(py::guarded<forward_method>),
    METH_FASTCALL | METH_KEYWORDS,
    nullptr,
};

PyMethodDef getter_def = {"get_from_core", py::guarded<get_from_core>, METH_O, nullptr};

// A callable of `def` bound to the str `name`.
py::Ref bound_to_name(PyMethodDef* def, const char* name) {
    py::Ref text = py::Ref::steal(PyUnicode_InternFromString(name));
    if (!text) {
        return {};
    }
    return py::Ref::steal(PyCFunction_NewEx(def, text.get(), nullptr));
}

py::Ref import_attribute(const char* module, const char* attribute) {
    return py::Ref::steal(PyImport_ImportModuleAttrString(module, attribute));
}

bool set_text(PyObject* namespace_, const char* key, const char* text) {
    py::Ref value = py::Ref::steal(PyUnicode_FromString(text));
    return value && PyDict_SetItemString(namespace_, key, value.get()) == 0;
}

PyObject* build() {
    py::Ref partialmethod = import_attribute("functools", "partialmethod");
    py::Ref property = partialmethod ? import_attribute("builtins", "property") : py::Ref();
    if (!property) {
        return nullptr;
    }
    py::Ref ns = py::Ref::steal(PyDict_New());
    if (!ns || !set_text(ns.get(), "__module__", "quorvelin.aio") ||
        !set_text(ns.get(), "__qualname__", "SerialTransport") ||
        !set_text(ns.get(), "__doc__", "An asyncio transport over a serial port.")) {
        return nullptr;
    }
    py::Ref slots = py::Ref::steal(Py_BuildValue("(ss)", "_core", "__weakref__"));
    if (!slots || PyDict_SetItemString(ns.get(), "__slots__", slots.get()) < 0) {
        return nullptr;
    }
    for (const char* method : FORWARDED) {
        py::Ref forwarder = bound_to_name(&forward_def, method);
        if (!forwarder) {
            return nullptr;
        }
        py::Ref wrapped = py::Ref::steal(PyObject_CallOneArg(partialmethod.get(), forwarder.get()));
        if (!wrapped || PyDict_SetItemString(ns.get(), method, wrapped.get()) < 0) {
            return nullptr;
        }
    }
    for (const char* attribute : {"loop", "serial"}) {
        py::Ref getter = bound_to_name(&getter_def, attribute);
        if (!getter) {
            return nullptr;
        }
        py::Ref read_only = py::Ref::steal(PyObject_CallOneArg(property.get(), getter.get()));
        if (!read_only || PyDict_SetItemString(ns.get(), attribute, read_only.get()) < 0) {
            return nullptr;
        }
    }
    py::Ref transport_base = import_attribute("asyncio", "Transport");
    py::Ref type = transport_base ? import_attribute("builtins", "type") : py::Ref();
    if (!type) {
        return nullptr;
    }
    return PyObject_CallFunction(type.get(), "s(O)O", "SerialTransport", transport_base.get(), ns.get());
}

}  // namespace

PyObject* serial_transport_class() {
    static py::OnceCell cell;
    return cell.get(build);
}

}  // namespace quorvelin::transport
