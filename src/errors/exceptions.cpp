#include "errors/exceptions.h"

#include "pyapi/once_cell.h"
#include "pyapi/ref.h"

namespace quorvelin::exceptions {
namespace {

// Creates one of the module's exception classes; a refusal is a broken invariant, surfaced
// as a BaseException.
PyObject* create_class(const char* full_name, PyObject* base) {
    if (base == nullptr) {
        return nullptr;
    }
    PyObject* created = PyErr_NewExceptionWithDoc(full_name, nullptr, base, nullptr);
    if (created == nullptr) {
        py::Ref cause = py::Ref::steal(PyErr_GetRaisedException());
        py::Ref text = py::Ref::steal(
            cause ? PyUnicode_FromFormat("Failed to initialize new exception type.: %S", cause.get())
                  : PyUnicode_FromString("Failed to initialize new exception type."));
        if (text) {
            PyErr_SetObject(PyExc_BaseException, text.get());
        }
    }
    return created;
}

// asyncio.CancelledError, imported on its first use.
PyObject* cancelled_error() {
    static py::OnceCell cell;
    return cell.get([] { return PyImport_ImportModuleAttrString("asyncio", "CancelledError"); });
}

PyObject* class_of(ExceptionSpec::Class which) {
    switch (which) {
        case ExceptionSpec::Class::SerialException:
            return serial_exception();
        case ExceptionSpec::Class::SerialTimeoutException:
            return serial_timeout_exception();
        case ExceptionSpec::Class::PortNotOpenError:
            return port_not_open_error();
        case ExceptionSpec::Class::ValueError:
            return PyExc_ValueError;
        case ExceptionSpec::Class::CancelledError:
            return cancelled_error();
        case ExceptionSpec::Class::MemoryError:
            return PyExc_MemoryError;
    }
    return PyExc_SystemError;
}

}  // namespace

// Each class is created once for the process, on first use, and kept for its life.
PyObject* serial_exception() {
    static py::OnceCell cell;
    return cell.get([] { return create_class("quorvelin.SerialException", PyExc_OSError); });
}

PyObject* serial_timeout_exception() {
    static py::OnceCell cell;
    return cell.get([] { return create_class("quorvelin.SerialTimeoutException", serial_exception()); });
}

PyObject* port_not_open_error() {
    static py::OnceCell cell;
    return cell.get([] { return create_class("quorvelin.PortNotOpenError", serial_exception()); });
}

PyObject* raise(const ExceptionSpec& spec) {
    PyObject* cls = class_of(spec.cls);
    if (cls == nullptr) {
        return nullptr;
    }
    if (spec.cls == ExceptionSpec::Class::MemoryError) {
        PyErr_NoMemory();  // allocates nothing: the interpreter keeps MemoryError instances ready
        return nullptr;
    }
    if (spec.cls == ExceptionSpec::Class::CancelledError) {
        PyErr_SetNone(cls);
        return nullptr;
    }
    py::Ref message = py::Ref::steal(
        PyUnicode_DecodeUTF8(spec.message.data(), static_cast<Py_ssize_t>(spec.message.size()), "replace"));
    if (!message) {
        return nullptr;
    }
    py::Ref args;
    if (spec.os_errno) {
        args = py::Ref::steal(Py_BuildValue("(iO)", *spec.os_errno, message.get()));
    } else {
        args = py::Ref::steal(PyTuple_Pack(1, message.get()));
    }
    if (args) {
        PyErr_SetObject(cls, args.get());
    }
    return nullptr;
}

PyObject* raise(SerialError error) { return raise(std::move(error).to_exception()); }

}  // namespace quorvelin::exceptions
