#include "future/ready.h"

#include <atomic>

#include "pyapi/coroutine_steps.h"
#include "pyapi/method.h"
#include "pyapi/once_cell.h"
#include "pyapi/guarded.h"

namespace quorvelin::future {
namespace {

struct ReadyObject {
    PyObject_HEAD
    PyObject* value;                // owned
    std::atomic<bool> yielded;      // false until the first step
};

ReadyObject* as_ready(PyObject* self) { return reinterpret_cast<ReadyObject*>(self); }

// The first step yields None (a bare yield: the loop runs its other ready callbacks once);
// every later one ends the iteration with the value.
PyObject* step(PyObject* self) {
    ReadyObject* ready = as_ready(self);
    if (!ready->yielded.exchange(true, std::memory_order_acq_rel)) {
        Py_RETURN_NONE;
    }
    return py::stop_with(ready->value);
}

PyObject* send(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!py::parse_send(args, nargs, kwnames)) return nullptr;
    return step(self);
}

PyObject* throw_into(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* exception = py::parse_throw(args, nargs, kwnames);
    if (exception == nullptr) return nullptr;
    return py::raise_thrown(exception);
}

PyObject* close(PyObject*, PyObject*) { Py_RETURN_NONE; }

void ready_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    ReadyObject* ready = as_ready(self);
    Py_XDECREF(ready->value);
    ready->yielded.~atomic();
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef methods[] = {
    {"send", py::as_cfunction(py::guarded<send>), METH_FASTCALL | METH_KEYWORDS, "send($self, _value)\n--\n\n"},
    {"throw", py::as_cfunction(py::guarded<throw_into>), METH_FASTCALL | METH_KEYWORDS,
     "throw($self, exception, _value=None, _traceback=None)\n--\n\n"},
    {"close", py::guarded<close>, METH_NOARGS, "close($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "What awaiting a finished future iterates: it yields once, so the event loop can run\n"
                    "other tasks and deliver a cancellation as it does for `asyncio.sleep(0)`, then stops\n"
                    "with the result, without creating an asyncio future or waking the loop from a worker.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::guarded<ready_dealloc>)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(py::guarded<step>)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {
    "quorvelin.aio.Ready",
    static_cast<int>(sizeof(ReadyObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

PyTypeObject* ready_type() {
    static py::OnceCell cell;
    return reinterpret_cast<PyTypeObject*>(cell.get([] { return PyType_FromSpec(&spec); }));
}

}  // namespace

PyObject* make_ready(py::Ref value) {
    PyTypeObject* type = ready_type();
    if (type == nullptr) return nullptr;
    ReadyObject* ready = PyObject_New(ReadyObject, type);
    if (ready == nullptr) return nullptr;
    ready->value = value.release();
    new (&ready->yielded) std::atomic<bool>(false);
    return reinterpret_cast<PyObject*>(ready);
}

}  // namespace quorvelin::future
