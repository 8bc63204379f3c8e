#include "future/ready.h"

#include <atomic>

#include "pyapi/args.h"
#include "pyapi/method.h"
#include "pyapi/once_cell.h"

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
    // An instance, so that a tuple value is not taken for constructor arguments.
    PyObject* stop = PyObject_CallOneArg(PyExc_StopIteration, ready->value);
    if (stop != nullptr) {
        PyErr_SetRaisedException(stop);
    }
    return nullptr;
}

PyObject* send(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"_value"};
    static const py::Signature signature{"send", names, 1};
    PyObject* value = nullptr;
    if (!py::parse_fastcall(signature, args, nargs, kwnames, std::span(&value, 1))) return nullptr;
    return step(self);
}

// Raises `object` when it is an exception instance; TypeError otherwise.
PyObject* raise_object(PyObject* object) {
    if (!PyExceptionInstance_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        return nullptr;
    }
    PyErr_SetRaisedException(Py_NewRef(object));
    return nullptr;
}

PyObject* throw_into(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"exception", "_value", "_traceback"};
    static const py::Signature signature{"throw", names, 1};
    PyObject* v[3];
    if (!py::parse_fastcall(signature, args, nargs, kwnames, v)) return nullptr;
    if (PyType_Check(v[0])) {
        py::Ref instance = py::Ref::steal(PyObject_CallNoArgs(v[0]));
        if (!instance) return nullptr;
        return raise_object(instance.get());
    }
    return raise_object(v[0]);
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
    {"send", py::as_cfunction(send), METH_FASTCALL | METH_KEYWORDS, "send($self, _value)\n--\n\n"},
    {"throw", py::as_cfunction(throw_into), METH_FASTCALL | METH_KEYWORDS,
     "throw($self, exception, _value=None, _traceback=None)\n--\n\n"},
    {"close", close, METH_NOARGS, "close($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "What awaiting a finished future iterates: it yields once, so the event loop can run\n"
                    "other tasks and deliver a cancellation as it does for `asyncio.sleep(0)`, then stops\n"
                    "with the result, without creating an asyncio future or waking the loop from a worker.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(ready_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(step)},
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
