#include "serial/to_bytes.h"

#include "pyapi/ref.h"
#include "serial/describe.h"

namespace quorvelin::serial {

std::optional<std::string> to_bytes(PyObject* object) {
    if (PyBytes_Check(object)) {
        // Bytes are immutable, so reading them needs no lock even under free threading.
        return std::string(PyBytes_AS_STRING(object), static_cast<std::size_t>(PyBytes_GET_SIZE(object)));
    }
    if (PyUnicode_Check(object)) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
        if (utf8 == nullptr) {
            return std::nullopt;  // the encoding error propagates
        }
        return std::string(utf8, static_cast<std::size_t>(size));
    }
    py::Ref view = py::Ref::steal(PyMemoryView_FromObject(object));
    if (!view) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            py::Ref name = py::Ref::steal(PyType_GetName(Py_TYPE(object)));
            std::string type_name = "?";
            if (name) {
                type_name = utf8_lossy(name.get());
            } else {
                PyErr_Clear();
            }
            PyErr_Format(PyExc_TypeError, "a bytes-like object or str is required, not '%s'",
                         type_name.c_str());
        }
        return std::nullopt;
    }
    py::Ref copy = py::Ref::steal(PyByteArray_FromObject(view.get()));
    if (!copy) {
        return std::nullopt;
    }
    return std::string(PyByteArray_AS_STRING(copy.get()), static_cast<std::size_t>(PyByteArray_GET_SIZE(copy.get())));
}

}  // namespace quorvelin::serial
