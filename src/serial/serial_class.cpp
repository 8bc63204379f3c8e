#include "serial/serial_class.h"

#include "port/ops.h"
#include "pyapi/args.h"
#include "pyapi/method.h"
#include "pyapi/once_cell.h"
#include "serial/constructor.h"
#include "serial/drive.h"
#include "serial/io_operations.h"
#include "serial/serial_base.h"
#include "pyapi/guarded.h"

namespace quorvelin::serial {
namespace {

std::shared_ptr<PortCore> core(PyObject* self) { return core_of(self); }

// Runs the operation a method built, or passes on its argument error.
PyObject* run_built(MaybeOperation operation) {
    if (!operation) return nullptr;
    return run(std::move(*operation));
}

// The same, for methods whose value is always None.
PyObject* run_built_none(MaybeOperation operation) {
    py::Ref result = py::Ref::steal(run_built(std::move(operation)));
    if (!result) return nullptr;
    Py_RETURN_NONE;
}

PyObject* read(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_built(read_operation(self, args, nargs, kwnames));
}

PyObject* read_until(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_built(read_until_operation(self, args, nargs, kwnames));
}

PyObject* readline(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_built(readline_operation(self, args, nargs, kwnames));
}

PyObject* readlines(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_built(readlines_operation(self, args, nargs, kwnames));
}

PyObject* readinto(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"b"};
    static const py::Signature signature{"readinto", names, 1};
    PyObject* b = nullptr;
    if (!py::parse_fastcall(signature, args, nargs, kwnames, std::span(&b, 1))) return nullptr;
    Py_ssize_t n = PyObject_Length(b);
    if (n < 0) return nullptr;
    py::Ref data = py::Ref::steal(run(ops::read(core(self), static_cast<std::size_t>(n))));
    if (!data) return nullptr;
    Py_ssize_t m = PyObject_Length(data.get());
    if (m < 0) return nullptr;
    py::Ref start = py::Ref::steal(PyLong_FromLong(0));
    py::Ref stop = py::Ref::steal(PyLong_FromSsize_t(m));
    if (!start || !stop) return nullptr;
    py::Ref slice = py::Ref::steal(PySlice_New(start.get(), stop.get(), nullptr));
    if (!slice || PyObject_SetItem(b, slice.get(), data.get()) < 0) return nullptr;
    return PyLong_FromSsize_t(m);
}

PyObject* write(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_built(write_operation(self, args, nargs, kwnames));
}

PyObject* flush(PyObject* self, PyObject*) { return run_built_none(flush_operation(self)); }

PyObject* send_break(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_built_none(send_break_operation(self, args, nargs, kwnames));
}

PyObject* readable(PyObject*, PyObject*) { Py_RETURN_TRUE; }
PyObject* writable(PyObject*, PyObject*) { Py_RETURN_TRUE; }
PyObject* seekable(PyObject*, PyObject*) { Py_RETURN_FALSE; }

PyObject* get_closed(PyObject* self, void*) { return PyBool_FromLong(!is_open_released(*core_of(self))); }

PyObject* enter_context(PyObject* self, PyObject*) {
    if (!enter(self)) return nullptr;
    return Py_NewRef(self);
}

PyObject* exit_context(PyObject* self, PyObject*) {
    py::Ref result = py::Ref::steal(PyObject_CallMethod(self, "close", nullptr));
    if (!result) return nullptr;
    Py_RETURN_NONE;  // never suppresses the exception of the with body
}

PyObject* iter_self(PyObject* self) { return Py_NewRef(self); }

PyObject* next_line(PyObject* self) {
    py::Ref line = py::Ref::steal(run(ops::readline(core(self), -1)));
    if (!line) return nullptr;
    Py_ssize_t length = PyObject_Length(line.get());
    if (length < 0) return nullptr;
    if (length == 0) return nullptr;  // the end of the iteration, no exception set
    return line.release();
}

PyMethodDef methods[] = {
    {"read", py::as_cfunction(py::guarded<read>), METH_FASTCALL | METH_KEYWORDS, "read($self, size=1)\n--\n\n"},
    {"read_until", py::as_cfunction(py::guarded<read_until>), METH_FASTCALL | METH_KEYWORDS,
     "read_until(self, /, expected=b'\\n', size=None)\n--\n\n"},
    {"readline", py::as_cfunction(py::guarded<readline>), METH_FASTCALL | METH_KEYWORDS, "readline(self, /, size=-1)\n--\n\n"},
    {"readlines", py::as_cfunction(py::guarded<readlines>), METH_FASTCALL | METH_KEYWORDS, "readlines(self, /, hint=-1)\n--\n\n"},
    {"readinto", py::as_cfunction(py::guarded<readinto>), METH_FASTCALL | METH_KEYWORDS, "readinto($self, b)\n--\n\n"},
    {"read_all", py::guarded<read_all>, METH_NOARGS, "read_all($self)\n--\n\n"},
    {"write", py::as_cfunction(py::guarded<write>), METH_FASTCALL | METH_KEYWORDS, "write($self, data)\n--\n\n"},
    {"flush", py::guarded<flush>, METH_NOARGS, "flush($self)\n--\n\n"},
    {"send_break", py::as_cfunction(py::guarded<send_break>), METH_FASTCALL | METH_KEYWORDS, "send_break($self, duration=0.25)\n--\n\n"},
    {"readable", py::guarded<readable>, METH_NOARGS, "readable($self)\n--\n\n"},
    {"writable", py::guarded<writable>, METH_NOARGS, "writable($self)\n--\n\n"},
    {"seekable", py::guarded<seekable>, METH_NOARGS, "seekable($self)\n--\n\n"},
    {"__enter__", py::guarded<enter_context>, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", py::guarded<exit_context>, METH_VARARGS, "__exit__($self, *_args)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"closed", py::guarded<get_closed>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("Serial(*_args, **_kwargs)\n--\n\nA serial port with a blocking API.")},
    {Py_tp_new, reinterpret_cast<void*>(py::guarded<serial_new>)},
    {Py_tp_init, reinterpret_cast<void*>(py::guarded<serial_init>)},
    {Py_tp_iter, reinterpret_cast<void*>(py::guarded<iter_self>)},
    {Py_tp_iternext, reinterpret_cast<void*>(py::guarded<next_line>)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

PyType_Spec spec = {
    "quorvelin.Serial",
    static_cast<int>(sizeof(SerialBaseObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    slots,
};

PyObject* build_type() {
    PyTypeObject* base = serial_base_type();
    if (base == nullptr) return nullptr;
    return PyType_FromSpecWithBases(&spec, reinterpret_cast<PyObject*>(base));
}

}  // namespace

PyTypeObject* serial_type() {
    static py::OnceCell cell;
    return reinterpret_cast<PyTypeObject*>(cell.get(build_type));
}

}  // namespace quorvelin::serial
