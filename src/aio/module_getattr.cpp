#include "aio/connections.h"
#include "pyapi/args.h"
#include "pyapi/method.h"
#include "pyapi/ref.h"
#include "transport/transport.h"
#include "pyapi/guarded.h"

namespace quorvelin::aio {
namespace {

// The class is built on first access and never stored on the module, so every access comes
// here.
PyObject* module_getattr(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"name"};
    static const py::Signature signature{"__getattr__", names, 1};
    PyObject* name = nullptr;
    if (!py::parse_fastcall(signature, args, nargs, kwnames, std::span(&name, 1))) {
        return nullptr;
    }
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "__getattr__() argument 'name' must be str, not %T", name);
        return nullptr;
    }
    if (PyUnicode_EqualToUTF8(name, "SerialTransport")) {
        return Py_XNewRef(transport::serial_transport_class());
    }
    PyErr_Format(PyExc_AttributeError, "module 'quorvelin.aio' has no attribute '%U'", name);
    return nullptr;
}

}  // namespace

PyMethodDef module_getattr_def = {
    "__getattr__",
    py::as_cfunction(py::guarded<module_getattr>),
    METH_FASTCALL | METH_KEYWORDS,
    "__getattr__(name)\n--\n\nGives `quorvelin.aio.SerialTransport` on first access.",
};

}  // namespace quorvelin::aio
