#include <gtest/gtest.h>

#include "attached.h"
#include "errors/exceptions.h"
#include "pyapi/ref.h"

namespace quorvelin {
namespace {

using testing::Attached;

// Raises `error` and returns the exception instance, cleared.
py::Ref raised(SerialError error) {
    EXPECT_EQ(exceptions::raise(std::move(error)), nullptr);
    return py::Ref::steal(PyErr_GetRaisedException());
}

std::string full_name(PyTypeObject* type) {
    py::Ref name = py::Ref::steal(PyType_GetFullyQualifiedName(type));
    return PyUnicode_AsUTF8(name.get());
}

std::string repr_of_attr(PyObject* object, const char* name) {
    py::Ref value = py::Ref::steal(PyObject_GetAttrString(object, name));
    py::Ref repr = py::Ref::steal(PyObject_Repr(value.get()));
    return PyUnicode_AsUTF8(repr.get());
}

TEST(Exceptions, TimeoutClassComesWithItsBase) {
    Attached attached;
    // The first use of a derived class creates SerialException as its base.
    PyObject* timeout = exceptions::serial_timeout_exception();
    ASSERT_NE(timeout, nullptr);
    PyObject* base = exceptions::serial_exception();
    EXPECT_EQ(reinterpret_cast<PyObject*>(reinterpret_cast<PyTypeObject*>(timeout)->tp_base), base);
    EXPECT_EQ(exceptions::serial_timeout_exception(), timeout);
    EXPECT_EQ(full_name(reinterpret_cast<PyTypeObject*>(timeout)), "quorvelin.SerialTimeoutException");
}

struct RaiseCase {
    SerialError error;
    const char* type_name;
    const char* args;
    const char* errno_repr;
    const char* strerror_repr;
};

TEST(Exceptions, RaiseTable) {
    Attached attached;
    const RaiseCase cases[] = {
        {SerialError::io(13, "denied"), "quorvelin.SerialException", "(13, 'denied')", "13", "'denied'"},
        {SerialError::io(std::nullopt, "odd"), "quorvelin.SerialException", "('odd',)", "None", "None"},
        {SerialError::timeout("Write timeout"), "quorvelin.SerialTimeoutException", "('Write timeout',)",
         "None", "None"},
        {SerialError::port_not_open(), "quorvelin.PortNotOpenError",
         "('Attempting to use a port that is not open',)", "None", "None"},
        {SerialError::already_open(), "quorvelin.SerialException", "('Port is already open.',)", "None", "None"},
        {SerialError::invalid_input("bad value"), "ValueError", "('bad value',)", nullptr, nullptr},
        {SerialError::cancelled(), "asyncio.exceptions.CancelledError", "()", nullptr, nullptr},
        {SerialError::forked(), "quorvelin.SerialException",
         "('quorvelin cannot be used in a child process created by fork()',)", "None", "None"},
    };
    for (const auto& c : cases) {
        py::Ref error = raised(c.error);
        ASSERT_TRUE(error) << c.type_name;
        EXPECT_EQ(full_name(Py_TYPE(error.get())), c.type_name);
        EXPECT_EQ(repr_of_attr(error.get(), "args"), c.args) << c.type_name;
        if (c.errno_repr != nullptr) {
            EXPECT_EQ(repr_of_attr(error.get(), "errno"), c.errno_repr) << c.args;
            EXPECT_EQ(repr_of_attr(error.get(), "strerror"), c.strerror_repr) << c.args;
        }
    }
}

TEST(Exceptions, CancelledIsAsyncioCancelledError) {
    Attached attached;
    py::Ref error = raised(SerialError::cancelled());
    py::Ref asyncio = py::Ref::steal(PyImport_ImportModule("asyncio"));
    py::Ref cancelled = py::Ref::steal(PyObject_GetAttrString(asyncio.get(), "CancelledError"));
    EXPECT_EQ(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), cancelled.get());
}

}  // namespace
}  // namespace quorvelin
