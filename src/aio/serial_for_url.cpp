#include "aio/aio_serial.h"
#include "pyapi/method.h"
#include "serial/for_url.h"
#include "pyapi/guarded.h"

namespace quorvelin::aio {
namespace {

PyObject* serial_for_url(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyTypeObject* cls = aio_serial_type();
    if (cls == nullptr) return nullptr;
    return serial::for_url_call(reinterpret_cast<PyObject*>(cls), "serial_for_url", args, nargs, kwnames);
}

}  // namespace

PyMethodDef serial_for_url_def = {
    "serial_for_url",
    py::as_cfunction(py::guarded<serial_for_url>),
    METH_FASTCALL | METH_KEYWORDS,
    "serial_for_url(url, *args, do_not_open=False, **kwargs)\n--\n\n"
    "Returns an `quorvelin.aio.Serial` for `url`, which is a device name or `loop://`.",
};

}  // namespace quorvelin::aio
