// Each I/O method converts its arguments, makes one attempt at the operation on the calling
// thread with the interpreter released, and returns a Future: born complete when that attempt
// finished the operation, otherwise completed later by a runtime task. Only argument errors
// and an unavailable runtime raise at the call; the operation's own failures, a closed port
// included, are the Future's.

#include "aio/aio_serial.h"

#include "errors/exceptions.h"
#include "future/object_handle.h"
#include "future/python_future.h"
#include "port/ops.h"
#include "pyapi/method.h"
#include "pyapi/once_cell.h"
#include "serial/constructor.h"
#include "serial/io_operations.h"
#include "serial/serial_base.h"
#include "pyapi/guarded.h"

namespace quorvelin::aio {
namespace {

using future::OpFuture;
using serial::MaybeOperation;

PyObject* wrap_started(Result<OpFuture> started) {
    if (!started) return exceptions::raise(std::move(started).error());
    return future::wrap(std::move(started).value());
}

PyObject* start(MaybeOperation operation) {
    if (!operation) return nullptr;
    return wrap_started(OpFuture::start(std::move(*operation)));
}

// read and write, the calls that most often finish at once, begin by plain calls: when the
// first attempt settles them no operation is built (see port/start.h).
class BeginRead final : public future::FirstAttempt {
public:
    BeginRead(const std::shared_ptr<PortCore>& core, std::size_t size) : core_(core), size_(size) {}
    runtime::Operation<Outcome> begin(runtime::Context& cx, std::optional<Result<Outcome>>& settled) override {
        return ops::begin_read(core_, size_, cx, settled);
    }

private:
    const std::shared_ptr<PortCore>& core_;  // the object's, which the call keeps alive
    std::size_t size_;
};

class BeginWrite final : public future::FirstAttempt {
public:
    BeginWrite(const std::shared_ptr<PortCore>& core, std::string data) : core_(core), data_(std::move(data)) {}
    runtime::Operation<Outcome> begin(runtime::Context& cx, std::optional<Result<Outcome>>& settled) override {
        return ops::begin_write(core_, std::move(data_), cx, settled);
    }

private:
    const std::shared_ptr<PortCore>& core_;
    std::string data_;
};

PyObject* read(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::optional<std::size_t> size = serial::read_arguments(args, nargs, kwnames);
    if (!size) return nullptr;
    BeginRead attempt(serial::core_of(self), *size);
    return wrap_started(OpFuture::start(attempt));
}

PyObject* read_until(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return start(serial::read_until_operation(self, args, nargs, kwnames));
}

PyObject* readline(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return start(serial::readline_operation(self, args, nargs, kwnames));
}

PyObject* readlines(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return start(serial::readlines_operation(self, args, nargs, kwnames));
}

PyObject* write(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::optional<std::string> data = serial::write_arguments(args, nargs, kwnames);
    if (!data) return nullptr;
    BeginWrite attempt(serial::core_of(self), std::move(*data));
    return wrap_started(OpFuture::start(attempt));
}

PyObject* flush(PyObject* self, PyObject*) { return start(serial::flush_operation(self)); }

PyObject* send_break(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return start(serial::send_break_operation(self, args, nargs, kwnames));
}

// Awaiting the result gives the instance, the target of `async with ... as`.
PyObject* aenter(PyObject* self, PyObject*) {
    if (!serial::enter(self)) return nullptr;
    return future::wrap(OpFuture::resolved(Outcome(future::make_object_handle(self))));
}

// Its result is None, so an exception of the `async with` body is not suppressed.
PyObject* aexit(PyObject* self, PyObject*) {
    py::Ref closed = py::Ref::steal(PyObject_CallMethod(self, "close", nullptr));
    if (!closed) return nullptr;
    return future::wrap(OpFuture::resolved(Outcome(Unit{})));
}

PyMethodDef methods[] = {
    {"read", py::as_cfunction(py::guarded<read>), METH_FASTCALL | METH_KEYWORDS, "read($self, size=1)\n--\n\n"},
    {"read_until", py::as_cfunction(py::guarded<read_until>), METH_FASTCALL | METH_KEYWORDS,
     "read_until(self, /, expected=b'\\n', size=None)\n--\n\n"},
    {"readline", py::as_cfunction(py::guarded<readline>), METH_FASTCALL | METH_KEYWORDS, "readline(self, /, size=-1)\n--\n\n"},
    {"readlines", py::as_cfunction(py::guarded<readlines>), METH_FASTCALL | METH_KEYWORDS, "readlines(self, /, hint=-1)\n--\n\n"},
    {"write", py::as_cfunction(py::guarded<write>), METH_FASTCALL | METH_KEYWORDS, "write($self, data)\n--\n\n"},
    {"flush", py::guarded<flush>, METH_NOARGS, "flush($self)\n--\n\n"},
    {"send_break", py::as_cfunction(py::guarded<send_break>), METH_FASTCALL | METH_KEYWORDS, "send_break($self, duration=0.25)\n--\n\n"},
    {"read_all", py::guarded<serial::read_all>, METH_NOARGS, "read_all($self)\n--\n\n"},
    {"__aenter__", py::guarded<aenter>, METH_NOARGS, "__aenter__($self)\n--\n\n"},
    {"__aexit__", py::guarded<aexit>, METH_VARARGS, "__aexit__($self, *_args)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("Serial(*_args, **_kwargs)\n--\n\nSerial port whose I/O methods return futures.")},
    {Py_tp_new, reinterpret_cast<void*>(py::guarded<serial::serial_new>)},
    {Py_tp_init, reinterpret_cast<void*>(py::guarded<serial::serial_init>)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {
    "quorvelin.aio.Serial",
    static_cast<int>(sizeof(serial::SerialBaseObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    slots,
};

PyObject* build_type() {
    PyTypeObject* base = serial::serial_base_type();
    if (base == nullptr) return nullptr;
    return PyType_FromSpecWithBases(&spec, reinterpret_cast<PyObject*>(base));
}

}  // namespace

PyTypeObject* aio_serial_type() {
    static py::OnceCell cell;
    return reinterpret_cast<PyTypeObject*>(cell.get(build_type));
}

}  // namespace quorvelin::aio
