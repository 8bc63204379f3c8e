#include "future/await.h"

#include "errors/exceptions.h"
#include "future/asyncio_names.h"
#include "future/method_calls.h"
#include "future/python_future.h"
#include "future/ready.h"
#include "pyapi/guarded.h"
#include "pyapi/once_cell.h"
#include "runtime/runtime.h"

namespace quorvelin::future {
namespace {

// The cancellation hook: a done-callback of the asyncio future handed to the awaiting task.
// When that future ends cancelled (its task was cancelled), the operation is cancelled for
// every holder of the Future.
struct CancelHookObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;  // the loop calls it once per await: no argument tuple
    std::shared_ptr<Shared> shared;
};

PyObject* hook_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    if (PyVectorcall_NARGS(nargsf) != 1 || (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0)) {
        PyErr_SetString(PyExc_TypeError, "the cancellation hook takes exactly one positional argument");
        return nullptr;
    }
    py::Ref cancelled = call_method<names::cancelled>(args[0]);
    if (!cancelled) return nullptr;
    int is_cancelled = PyObject_IsTrue(cancelled.get());
    if (is_cancelled < 0) return nullptr;
    if (is_cancelled == 1) {
        cancel_shared(*reinterpret_cast<CancelHookObject*>(self)->shared);
    }
    Py_RETURN_NONE;
}

void hook_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<CancelHookObject*>(self)->shared.~shared_ptr();
    type->tp_free(self);
    Py_DECREF(type);
}

PyMemberDef hook_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(CancelHookObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot hook_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_members, hook_members},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::guarded<hook_dealloc>)},
    {0, nullptr},
};

PyType_Spec hook_spec = {
    "quorvelin.aio._CancelHook",
    static_cast<int>(sizeof(CancelHookObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_VECTORCALL,
    hook_slots,
};

PyObject* make_hook(const std::shared_ptr<Shared>& shared) {
    static py::OnceCell cell;
    auto* type = reinterpret_cast<PyTypeObject*>(cell.get([] { return PyType_FromSpec(&hook_spec); }));
    if (type == nullptr) return nullptr;
    CancelHookObject* hook = PyObject_New(CancelHookObject, type);
    if (hook == nullptr) return nullptr;
    hook->vectorcall = py::guarded<hook_vectorcall>;
    new (&hook->shared) std::shared_ptr<Shared>(shared);
    return reinterpret_cast<PyObject*>(hook);
}

}  // namespace

PyObject* await_future(PyObject* self) {
    // Even a finished Future needs a running loop.
    py::Ref loop = get_running_loop();
    if (!loop) return nullptr;
    const OpFuture& future = reinterpret_cast<FutureObject*>(self)->future;
    if (const Result<Outcome>* stored = future.stored()) {
        PyOutcome outcome = to_python(*future.shared(), *stored);
        if (outcome.is_exception) {
            return outcome.release_or_raise();  // raised without a trip through the loop
        }
        return make_ready(std::move(outcome.object));
    }
    // A forked child inherits pending Futures whose operations ran on the parent's threads:
    // nothing here will ever complete them, so awaiting one fails as wait() does.
    if (Result<runtime::Owned*> owned = runtime::runtime(); !owned) {
        return exceptions::raise(std::move(owned).error());
    }
    py::Ref asyncio_future = call_method<names::create_future>(loop.get());
    if (!asyncio_future) return nullptr;
    if (const Result<Outcome>* finished = future.add_waiter(loop, asyncio_future)) {
        // Completed since the first look: settle it here, on the loop thread.
        if (settle(asyncio_future.get(), to_python(*future.shared(), *finished)) < 0) return nullptr;
    }
    py::Ref hook = py::Ref::steal(make_hook(future.shared()));
    if (!hook) return nullptr;
    py::Ref added = call_method<names::add_done_callback>(asyncio_future.get(), hook.get());
    if (!added) return nullptr;
    return call_method<names::await_>(asyncio_future.get()).release();
}

}  // namespace quorvelin::future
