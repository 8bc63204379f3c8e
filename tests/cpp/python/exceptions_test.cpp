#include <gtest/gtest.h>

#include "attached.h"
#include "errors/exceptions.h"
#include "pyapi/ref.h"

namespace quorvelin {
namespace {

using testing::Attached;
using testing::take_error;

// Raises `error` and returns the exception instance, cleared.
py::Ref raised(SerialError error) {
    EXPECT_EQ(exceptions::raise(std::move(error)), nullptr);
    return py::Ref::steal(PyErr_GetRaisedException());
}

// The text of a str object, or the error that stands in its way (never a crash).
std::string text_or_error(const py::Ref& text) {
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    return utf8 != nullptr ? std::string(utf8) : "<raised " + take_error() + ">";
}

std::string full_name(PyTypeObject* type) {
    return text_or_error(py::Ref::steal(PyType_GetFullyQualifiedName(type)));
}

std::string repr_of_attr(PyObject* object, const char* name) {
    py::Ref value = py::Ref::steal(PyObject_GetAttrString(object, name));
    if (!value) {
        return "<raised " + take_error() + ">";
    }
    return text_or_error(py::Ref::steal(PyObject_Repr(value.get())));
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
    ASSERT_TRUE(asyncio) << "import asyncio raised " << take_error();
    py::Ref cancelled = py::Ref::steal(PyObject_GetAttrString(asyncio.get(), "CancelledError"));
    ASSERT_TRUE(cancelled) << take_error();
    EXPECT_EQ(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), cancelled.get());
}

}  // namespace
}  // namespace quorvelin
