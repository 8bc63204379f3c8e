#include "serial/for_url.h"

#include "pyapi/method.h"
#include "pyapi/ref.h"
#include "serial/serial_class.h"
#include "pyapi/guarded.h"

namespace quorvelin::serial {
namespace {

// Refuses a str URL whose scheme is not "loop"; other objects are not checked.
bool check_scheme(PyObject* url) {
    if (!PyUnicode_Check(url)) return true;
    if (PyUnicode_AsUTF8AndSize(url, nullptr) == nullptr) return false;  // a lone surrogate
    // str.lower itself, so a subclass's override does not take part.
    py::Ref exact = py::Ref::steal(PyUnicode_FromObject(url));
    if (!exact) return false;
    py::Ref lowered = py::Ref::steal(PyObject_CallMethod(exact.get(), "lower", nullptr));
    if (!lowered) return false;
    Py_ssize_t length = PyUnicode_GetLength(lowered.get());
    py::Ref marker = py::Ref::steal(PyUnicode_FromString("://"));
    if (!marker) return false;
    Py_ssize_t at = PyUnicode_Find(lowered.get(), marker.get(), 0, length, 1);
    if (at == -2) return false;
    if (at == -1) return true;
    py::Ref scheme = py::Ref::steal(PyUnicode_Substring(lowered.get(), 0, at));
    if (!scheme) return false;
    if (PyUnicode_EqualToUTF8(scheme.get(), "loop")) return true;
    py::Ref shown = py::Ref::steal(PyObject_Repr(scheme.get()));
    if (!shown) return false;
    PyErr_Format(PyExc_ValueError, "invalid URL, protocol %U not known", shown.get());
    return false;
}

PyObject* serial_for_url(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyTypeObject* cls = serial_type();
    if (cls == nullptr) return nullptr;
    return for_url_call(reinterpret_cast<PyObject*>(cls), "serial_for_url", args, nargs, kwnames);
}

}  // namespace

PyObject* for_url(PyObject* cls, PyObject* url, PyObject* args, bool do_not_open, PyObject* kwargs) {
    if (!check_scheme(url)) return nullptr;
    Py_ssize_t count = PyTuple_GET_SIZE(args);
    py::Ref call_args = py::Ref::steal(PyTuple_New(count + 1));
    if (!call_args) return nullptr;
    PyTuple_SET_ITEM(call_args.get(), 0, Py_NewRef(Py_None));  // the constructor opens nothing
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyTuple_SET_ITEM(call_args.get(), i + 1, Py_NewRef(PyTuple_GET_ITEM(args, i)));
    }
    py::Ref instance = py::Ref::steal(PyObject_Call(cls, call_args.get(), kwargs));
    if (!instance || PyObject_SetAttrString(instance.get(), "port", url) < 0) return nullptr;
    if (!do_not_open) {
        py::Ref opened = py::Ref::steal(PyObject_CallMethod(instance.get(), "open", nullptr));
        if (!opened) return nullptr;
    }
    return instance.release();
}

PyObject* for_url_call(PyObject* cls, const char* function, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    nargs = PyVectorcall_NARGS(nargs);
    PyObject* url = nargs > 0 ? args[0] : nullptr;
    PyObject* do_not_open = nullptr;
    py::Ref kwargs;
    if (kwnames != nullptr) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, i);
            PyObject* value = args[nargs + i];
            if (PyUnicode_EqualToUTF8(key, "url")) {
                if (url != nullptr) {
                    PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument 'url'", function);
                    return nullptr;
                }
                url = value;
            } else if (PyUnicode_EqualToUTF8(key, "do_not_open")) {
                do_not_open = value;
            } else {
                if (!kwargs && !(kwargs = py::Ref::steal(PyDict_New()))) return nullptr;
                if (PyDict_SetItem(kwargs.get(), key, value) < 0) return nullptr;
            }
        }
    }
    if (url == nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() missing required argument 'url' (pos 1)", function);
        return nullptr;
    }
    bool no_open = false;
    if (do_not_open != nullptr) {
        int flag = PyObject_IsTrue(do_not_open);
        if (flag < 0) return nullptr;
        no_open = flag == 1;
    }
    py::Ref rest = py::Ref::steal(PyTuple_New(nargs > 0 ? nargs - 1 : 0));
    if (!rest) return nullptr;
    for (Py_ssize_t i = 1; i < nargs; ++i) {
        PyTuple_SET_ITEM(rest.get(), i - 1, Py_NewRef(args[i]));
    }
    return for_url(cls, url, rest.get(), no_open, kwargs.get());
}

PyMethodDef serial_for_url_def = {
    "serial_for_url",
    py::as_cfunction(py::guarded<serial_for_url>),
    METH_FASTCALL | METH_KEYWORDS,
    "serial_for_url(url, *args, do_not_open=False, **kwargs)\n--\n\n"
    "Returns a `Serial` for `url`, which is a device name or `loop://`.",
};

}  // namespace quorvelin::serial
