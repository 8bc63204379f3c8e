// The Python class Future: queries, blocking wait, done-callbacks and the await slot, all over
// the OpFuture it wraps.

#include <cmath>
#include <new>

#include "errors/exceptions.h"
#include "future/asyncio_names.h"
#include "future/await.h"
#include "future/python_future.h"
#include "pyapi/args.h"
#include "pyapi/method.h"
#include "pyapi/once_cell.h"
#include "pyapi/guarded.h"

namespace quorvelin::future {
namespace {

const OpFuture& op(PyObject* self) { return reinterpret_cast<FutureObject*>(self)->future; }

PyObject* done(PyObject* self, PyObject*) { return PyBool_FromLong(op(self).done()); }

PyObject* cancelled(PyObject* self, PyObject*) { return PyBool_FromLong(op(self).cancelled()); }

PyObject* cancel(PyObject* self, PyObject*) { return PyBool_FromLong(op(self).cancel()); }

PyObject* result(PyObject* self, PyObject*) { return op(self).result(); }

PyObject* exception(PyObject* self, PyObject*) {
    const Result<Outcome>* stored = op(self).stored();
    if (stored == nullptr) {
        PyObject* invalid_state = asyncio_name(AsyncioName::InvalidStateError);
        if (invalid_state != nullptr) {
            PyErr_SetString(invalid_state, "Exception is not set.");
        }
        return nullptr;
    }
    if (stored->ok()) {
        Py_RETURN_NONE;
    }
    if (stored->error().kind() == SerialError::Kind::Cancelled) {
        return exceptions::raise(SerialError::cancelled());
    }
    return exception_object(*op(self).shared(), stored->error()).release();
}

PyObject* wait(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"timeout"};
    static const py::Signature signature{"wait", names, 0};
    PyObject* given = nullptr;
    if (!py::parse_fastcall(signature, args, nargs, kwnames, std::span(&given, 1))) return nullptr;
    std::optional<double> timeout;
    if (given != nullptr && given != Py_None) {
        double seconds = PyFloat_AsDouble(given);
        if (seconds == -1.0 && PyErr_Occurred()) {
            if (PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Format(PyExc_TypeError, "wait() argument 'timeout' must be None or a real number, not %T",
                             given);
            }
            return nullptr;
        }
        timeout = seconds;
    }
    return op(self).wait(timeout);
}

// add_done_callback(fn, /, *, context=None)
PyObject* add_done_callback(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    nargs = PyVectorcall_NARGS(nargs);
    if (nargs != 1) {
        PyErr_Format(PyExc_TypeError, "add_done_callback() takes exactly 1 positional argument (%zd given)", nargs);
        return nullptr;
    }
    PyObject* fn = args[0];
    PyObject* context = nullptr;
    if (kwnames != nullptr) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, i);
            if (!PyUnicode_EqualToUTF8(key, "context")) {
                PyErr_Format(PyExc_TypeError, "add_done_callback() got an unexpected keyword argument '%U'", key);
                return nullptr;
            }
            context = args[nargs + i];
        }
    }
    py::Ref ctx = context != nullptr && context != Py_None ? py::Ref::borrow(context)
                                                           : py::Ref::steal(PyContext_CopyCurrent());
    if (!ctx) return nullptr;
    py::Ref loop = peek_running_loop();
    if (!loop) return nullptr;
    if (loop.get() == Py_None) {
        loop.reset();
    }
    op(self).register_callback(py::Ref::borrow(fn), py::Ref::borrow(self), std::move(ctx), std::move(loop));
    Py_RETURN_NONE;
}

// remove_done_callback(fn, /): the comparisons run on a snapshot, outside the lock; records
// added meanwhile are left alone.
PyObject* remove_done_callback(PyObject* self, PyObject* fn) {
    std::vector<std::shared_ptr<Callback>> snapshot = op(self).callbacks();
    std::vector<std::shared_ptr<Callback>> matching;
    for (const std::shared_ptr<Callback>& record : snapshot) {
        py::Ref equal = py::Ref::steal(PyObject_RichCompare(record->func.get(), fn, Py_EQ));
        if (!equal) return nullptr;
        int is_equal = PyObject_IsTrue(equal.get());
        if (is_equal < 0) return nullptr;
        if (is_equal == 1) {
            matching.push_back(record);
        }
    }
    std::size_t removed = matching.empty() ? 0 : op(self).remove_callbacks(matching);
    return PyLong_FromSize_t(removed);
}

int future_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return traverse_sole(op(self).shared(), visit, arg);
}

int future_clear(PyObject* self) {
    clear_sole(op(self).shared());
    return 0;
}

void future_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    reinterpret_cast<FutureObject*>(self)->future.~OpFuture();
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef methods[] = {
    {"done", py::guarded<done>, METH_NOARGS, "done($self)\n--\n\n"},
    {"cancelled", py::guarded<cancelled>, METH_NOARGS, "cancelled($self)\n--\n\n"},
    {"cancel", py::guarded<cancel>, METH_NOARGS, "cancel($self)\n--\n\n"},
    {"result", py::guarded<result>, METH_NOARGS, "result($self)\n--\n\n"},
    {"exception", py::guarded<exception>, METH_NOARGS, "exception($self)\n--\n\n"},
    {"wait", py::as_cfunction(py::guarded<wait>), METH_FASTCALL | METH_KEYWORDS, "wait($self, timeout=None)\n--\n\n"},
    {"add_done_callback", py::as_cfunction(py::guarded<add_done_callback>), METH_FASTCALL | METH_KEYWORDS,
     "add_done_callback($self, fn, /, *, context=None)\n--\n\n"},
    {"remove_done_callback", py::guarded<remove_done_callback>, METH_O, "remove_done_callback($self, fn, /)\n--\n\n"},
    {"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS, "__class_getitem__($type, item, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("A port operation running on the runtime.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::guarded<future_dealloc>)},
    {Py_tp_traverse, reinterpret_cast<void*>(future_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(future_clear)},
    {Py_tp_methods, methods},
    {Py_am_await, reinterpret_cast<void*>(py::guarded<await_future>)},
    {0, nullptr},
};

// Not subclassable, not creatable from Python, no __dict__ and no weak references. It is a
// garbage-collected container: a failed Future's exception holds, through its traceback, the
// frames that hold the Future.
PyType_Spec spec = {
    "quorvelin.aio.Future",
    static_cast<int>(sizeof(FutureObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_GC,
    slots,
};

}  // namespace

PyTypeObject* future_type() {
    static py::OnceCell cell;
    return reinterpret_cast<PyTypeObject*>(cell.get([] { return PyType_FromSpec(&spec); }));
}

PyObject* wrap(OpFuture future) {
    PyTypeObject* type = future_type();
    if (type == nullptr) return nullptr;
    FutureObject* self = PyObject_GC_New(FutureObject, type);
    if (self == nullptr) return nullptr;
    new (&self->future) OpFuture(std::move(future));
    PyObject_GC_Track(self);
    return reinterpret_cast<PyObject*>(self);
}

const OpFuture* unwrap(PyObject* object) {
    PyTypeObject* type = future_type();
    if (type == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    if (!Py_IS_TYPE(object, type)) return nullptr;
    return &reinterpret_cast<FutureObject*>(object)->future;
}

bool on_done_here(PyObject* future_object, PyObject* fn) {
    py::Ref context = py::Ref::steal(PyContext_CopyCurrent());
    if (!context) return false;
    op(future_object).register_callback(py::Ref::borrow(fn), py::Ref::borrow(future_object), std::move(context),
                                        py::Ref());
    return true;
}

}  // namespace quorvelin::future
