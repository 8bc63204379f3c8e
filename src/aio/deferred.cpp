// Deferred: what the connection functions return, so they can be awaited or handed to
// asyncio.create_task like coroutine functions while their work stays synchronous native code.
// The work is taken out under the mutex and run outside it, so of two threads stepping at
// once exactly one runs it.

#include "aio/deferred.h"

#include <mutex>
#include <new>
#include <optional>

#include "pyapi/coroutine_steps.h"
#include "pyapi/method.h"
#include "pyapi/once_cell.h"
#include "pyapi/guarded.h"

namespace quorvelin::aio {
namespace {

struct DeferredObject {
    PyObject_HEAD
    std::mutex mutex;          // guards work
    std::optional<Work> work;  // present from creation until the first step, throw or close
};

DeferredObject* deferred(PyObject* self) { return reinterpret_cast<DeferredObject*>(self); }

// Takes the work out; the caller releases it (and what it owns) outside the lock.
std::optional<Work> take(PyObject* self) {
    DeferredObject* d = deferred(self);
    std::lock_guard lock(d->mutex);
    return std::exchange(d->work, std::nullopt);
}

// A StopIteration leaving the work would end the await as if the work had returned its value;
// it becomes a RuntimeError caused by it, as in a coroutine.
void as_coroutine_failure() {
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) {
        return;
    }
    PyObject* stop = PyErr_GetRaisedException();
    PyErr_SetString(PyExc_RuntimeError, "coroutine raised StopIteration");
    PyObject* failure = PyErr_GetRaisedException();
    PyException_SetCause(failure, Py_NewRef(stop));
    PyException_SetContext(failure, stop);
    PyErr_SetRaisedException(failure);
}

PyObject* step(PyObject* self) {
    std::optional<Work> work = take(self);
    if (!work) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return nullptr;
    }
    py::Ref result = py::Ref::steal(work->run(work->objects));
    // Consumed either way; what it owned goes before its exception is raised.
    py::Ref error = result ? py::Ref() : py::Ref::steal(PyErr_GetRaisedException());
    work.reset();
    if (!result) {
        PyErr_SetRaisedException(error.release());
        as_coroutine_failure();
        return nullptr;
    }
    return py::stop_with(result.get());
}

PyObject* send(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!py::parse_send(args, nargs, kwnames)) {
        return nullptr;
    }
    return step(self);
}

PyObject* throw_(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* exception = py::parse_throw(args, nargs, kwnames);
    if (exception == nullptr) {
        return nullptr;
    }
    take(self).reset();  // the work never runs: a task cancelled before its first step opens nothing
    return py::raise_thrown(exception);
}

PyObject* close(PyObject* self, PyObject*) {
    take(self).reset();
    Py_RETURN_NONE;
}

PyObject* await_self(PyObject* self) { return Py_NewRef(self); }

// Runs during the collector's stop-the-world pause, so it reads the work without the lock.
int traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    DeferredObject* d = deferred(self);
    if (d->work) {
        for (const py::Ref& object : d->work->objects) {
            Py_VISIT(object.get());
        }
    }
    return 0;
}

int clear(PyObject* self) {
    take(self).reset();
    return 0;
}

// An armed Deferred that goes away releases its work without running it, silently.
void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    DeferredObject* d = deferred(self);
    d->work.~optional();
    d->mutex.~mutex();
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef methods[] = {
    {"send", py::as_cfunction(py::guarded<send>), METH_FASTCALL | METH_KEYWORDS, "send($self, _value)\n--\n\n"},
    {"throw", py::as_cfunction(py::guarded<throw_>), METH_FASTCALL | METH_KEYWORDS,
     "throw($self, exception, _value=None, _traceback=None)\n--\n\n"},
    {"close", py::guarded<close>, METH_NOARGS, "close($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "A coroutine that does its work on the first step and finishes with the result, so it can\n"
                    "be awaited or given to `asyncio.create_task` like the result of an `async def` call.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::guarded<dealloc>)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(py::guarded<step>)},
    {Py_am_await, reinterpret_cast<void*>(py::guarded<await_self>)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

// Not subclassable, not creatable from Python, no __dict__ and no weak references.
PyType_Spec spec = {
    "quorvelin.aio.Deferred",
    static_cast<int>(sizeof(DeferredObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_GC,
    slots,
};

PyTypeObject* deferred_type() {
    static py::OnceCell cell;
    return reinterpret_cast<PyTypeObject*>(cell.get([] { return PyType_FromSpec(&spec); }));
}

}  // namespace

PyObject* make_deferred(Work work) {
    PyTypeObject* type = deferred_type();
    if (type == nullptr) {
        return nullptr;
    }
    DeferredObject* self = PyObject_GC_New(DeferredObject, type);
    if (self == nullptr) {
        return nullptr;
    }
    new (&self->mutex) std::mutex();
    new (&self->work) std::optional<Work>(std::move(work));
    PyObject_GC_Track(self);
    return reinterpret_cast<PyObject*>(self);
}

}  // namespace quorvelin::aio
