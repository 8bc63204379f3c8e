#include "errors/exceptions.h"

#include <atomic>

#include "pyapi/ref.h"

namespace quorvelin::exceptions {
namespace {

// A class created once for the process. PyMutex detaches from the interpreter while it waits,
// so a thread that waits for another's creation never stalls the interpreter.
struct ClassCell {
    const char* full_name;
    PyObject* (*base)();
    PyMutex lock{};
    std::atomic<PyObject*> cls{nullptr};

    PyObject* get() {
        if (PyObject* ready = cls.load(std::memory_order_acquire)) {
            return ready;
        }
        PyMutex_Lock(&lock);
        PyObject* result = cls.load(std::memory_order_relaxed);
        if (result == nullptr) {
            result = create();
            cls.store(result, std::memory_order_release);
        }
        PyMutex_Unlock(&lock);
        return result;
    }

    PyObject* create() {
        PyObject* base_class = base();
        if (base_class == nullptr) {
            return nullptr;
        }
        PyObject* created = PyErr_NewExceptionWithDoc(full_name, nullptr, base_class, nullptr);
        if (created == nullptr) {
            // A broken invariant: surfaced as a BaseException, never retried silently.
            py::Ref cause = py::Ref::steal(PyErr_GetRaisedException());
            py::Ref text = py::Ref::steal(
                cause ? PyUnicode_FromFormat("Failed to initialize new exception type.: %S", cause.get())
                      : PyUnicode_FromString("Failed to initialize new exception type."));
            if (text) {
                PyErr_SetObject(PyExc_BaseException, text.get());
            }
        }
        return created;  // kept for the life of the process
    }
};

PyObject* os_error_base() { return PyExc_OSError; }

ClassCell serial_exception_cell{"quorvelin.SerialException", os_error_base};
ClassCell timeout_cell{"quorvelin.SerialTimeoutException", serial_exception};
ClassCell not_open_cell{"quorvelin.PortNotOpenError", serial_exception};

// asyncio.CancelledError, imported on its first use.
PyObject* cancelled_error() {
    static PyMutex lock{};
    static std::atomic<PyObject*> cls{nullptr};
    if (PyObject* ready = cls.load(std::memory_order_acquire)) {
        return ready;
    }
    PyMutex_Lock(&lock);
    PyObject* result = cls.load(std::memory_order_relaxed);
    if (result == nullptr) {
        py::Ref asyncio = py::Ref::steal(PyImport_ImportModule("asyncio"));
        if (asyncio) {
            result = PyObject_GetAttrString(asyncio.get(), "CancelledError");
            cls.store(result, std::memory_order_release);
        }
    }
    PyMutex_Unlock(&lock);
    return result;
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
    }
    return PyExc_SystemError;
}

}  // namespace

PyObject* serial_exception() { return serial_exception_cell.get(); }
PyObject* serial_timeout_exception() { return timeout_cell.get(); }
PyObject* port_not_open_error() { return not_open_cell.get(); }

PyObject* raise(const ExceptionSpec& spec) {
    PyObject* cls = class_of(spec.cls);
    if (cls == nullptr) {
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
