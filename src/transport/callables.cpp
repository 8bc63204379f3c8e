// The callables the transport hands to asyncio and to its Futures. The loop calls the step
// callables ("on_start", "on_read", "on_write", "connection_lost", "deliver_held") on its own
// thread; a Future calls "forward" on the thread that completes it, and "forward" only moves
// the completion over to the loop.

#include "future/asyncio_names.h"
#include "future/python_future.h"
#include "pyapi/method.h"
#include "transport/names.h"
#include "transport/transport_core.h"
#include "pyapi/guarded.h"

namespace quorvelin::transport {
namespace {

bool on_start(TransportCore* core, PyObject*) { return core->start_reading(); }
bool on_read(TransportCore* core, PyObject* fut) { return core->on_read(fut); }
bool on_write(TransportCore* core, PyObject* fut) { return core->on_write(fut); }
bool connection_lost(TransportCore* core, PyObject*) { return core->connection_lost(); }
bool deliver_held(TransportCore* core, PyObject* delivery) { return core->deliver_held(delivery); }

// Calls the step with the first positional argument, or None; the rest is ignored.
template <bool (*Run)(TransportCore*, PyObject*)>
PyObject* step_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* /*kwnames*/) {
    PyObject* argument = PyVectorcall_NARGS(nargs) > 0 ? args[0] : Py_None;
    if (!Run(TransportCore::of(self), argument)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// Indexed by Step.
PyMethodDef step_defs[] = {
    {"on_start", py::as_cfunction(py::guarded<step_call<on_start>>), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"on_read", py::as_cfunction(py::guarded<step_call<on_read>>), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"on_write", py::as_cfunction(py::guarded<step_call<on_write>>), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"connection_lost", py::as_cfunction(py::guarded<step_call<connection_lost>>), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"deliver_held", py::as_cfunction(py::guarded<step_call<deliver_held>>), METH_FASTCALL | METH_KEYWORDS, nullptr},
};

// Bound to the tuple (core, step callable). Runs on the completing thread: a runtime worker,
// or the loop's thread when the Future was complete at registration or cancelled there. It
// reads only the core's loop and serial object, which never change, and takes no lock.
PyObject* forward(PyObject* bound, PyObject* fut) {
    TransportCore* core = TransportCore::of(PyTuple_GET_ITEM(bound, 0));
    PyObject* step = PyTuple_GET_ITEM(bound, 1);
    py::Ref handle = call_method<names::call_soon_threadsafe>(core->loop, step, fut);
    if (handle) {
        Py_RETURN_NONE;
    }
    // The loop refuses (it is closed): nobody will run the transport's steps any more, so
    // the port is closed here rather than left open for good.
    PyErr_Clear();
    py::Ref closed = call_method<names::close>(core->serial);
    if (!closed) {
        return nullptr;  // the done-callback machinery reports it as unraisable
    }
    Py_RETURN_NONE;
}

PyMethodDef forward_def = {"forward", py::guarded<forward>, METH_O, nullptr};

// 1 when `loop` is the loop running on this thread, 0 when not, -1 with an exception set.
int on_loop_thread(PyObject* loop) {
    py::Ref running = future::peek_running_loop();
    if (!running) {
        return -1;
    }
    return running.get() == loop ? 1 : 0;
}

}  // namespace

py::Ref TransportCore::callable(Step step) {
    return py::Ref::steal(PyCFunction_NewEx(&step_defs[static_cast<int>(step)], object(), nullptr));
}

bool TransportCore::when_done(PyObject* fut, Step step) {
    py::Ref target = callable(step);
    if (!target) {
        return false;
    }
    // Complete already, on the loop's own thread: queued directly. The step runs in the same
    // place in the loop's queue as through "forward", without waking the loop through its
    // self-pipe, which a write that finished at once (or a read that found data waiting)
    // would otherwise pay every time.
    if (future::unwrap(fut)->done()) {
        int here = on_loop_thread(loop);
        if (here < 0) {
            return false;
        }
        if (here == 1) {
            return static_cast<bool>(call_method<names::call_soon>(loop, target.get(), fut));
        }
    }
    py::Ref bound = py::Ref::steal(PyTuple_Pack(2, object(), target.get()));
    if (!bound) {
        return false;
    }
    py::Ref forwarder = py::Ref::steal(PyCFunction_NewEx(&forward_def, bound.get(), nullptr));
    return forwarder && future::on_done_here(fut, forwarder.get());
}

bool TransportCore::track(future::OpFuture started, py::Ref State::*slot, Step step) {
    py::Ref fut = py::Ref::steal(future::wrap(std::move(started)));
    if (!fut) {
        return false;
    }
    py::Ref previous;  // released after the unlock
    {
        std::lock_guard lock(mutex);
        previous = std::exchange(state.*slot, fut);
    }
    // Recorded first: a Future that is already complete runs "forward" right here, and its
    // completion must not look stale when it reaches the step.
    return when_done(fut.get(), step);
}

}  // namespace quorvelin::transport
