// The callables the transport hands to asyncio, and the forwarding of its Futures'
// completions. The loop calls the step callables ("connection_made", "on_start", "on_read",
// "on_write", "connection_lost", "deliver_held") on its own thread; the forwarding runs on the
// thread that completes a Future and only moves the completion over to the loop.

#include <memory>
#include <new>

#include "future/asyncio_names.h"
#include "future/native_hook.h"
#include "future/python_future.h"
#include "pyapi/method.h"
#include "pyapi/once_cell.h"
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
bool connection_made(TransportCore* core, PyObject* call) { return core->connection_made(call); }

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
PyMethodDef step_defs[STEP_COUNT] = {
    {"on_start", py::as_cfunction(py::guarded<step_call<on_start>>), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"on_read", py::as_cfunction(py::guarded<step_call<on_read>>), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"on_write", py::as_cfunction(py::guarded<step_call<on_write>>), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"connection_lost", py::as_cfunction(py::guarded<step_call<connection_lost>>), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"deliver_held", py::as_cfunction(py::guarded<step_call<deliver_held>>), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"connection_made", py::as_cfunction(py::guarded<step_call<connection_made>>), METH_FASTCALL | METH_KEYWORDS, nullptr},
};

// Forwards one completed Future to the loop, as loop.call_soon_threadsafe(step, fut), on the
// thread that completes it: a runtime worker, or the loop's thread when the Future was
// complete at registration or is cancelled there. It reads only the core's loop and serial
// object, which never change, and takes no lock. The step runs in the context the
// registration copied, as a done callback run in that context would have had it scheduled.
class Forward final : public future::NativeHook {
public:
    Forward(PyObject* core, py::Ref step, PyObject* fut, py::Ref context)
        : core_(future::HeldRef::borrow(core)),
          step_(std::move(step)),
          fut_(future::HeldRef::borrow(fut)),
          context_(std::move(context)) {}

    void run() noexcept override {
        TransportCore* core = TransportCore::of(core_.get());
        try {
            if (schedule(core)) {
                return;
            }
            // The loop refuses (it is closed): nobody will run the transport's steps any
            // more, so the port is closed here rather than left open for good.
            PyErr_Clear();
            if (call_method<names::close>(core->serial)) {
                return;
            }
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        }
        PyErr_WriteUnraisable(step_.get());
    }

private:
    // loop.call_soon_threadsafe(step, fut), called inside the copied context so that the loop,
    // which copies the current context for the handle, runs the step in it. No context=
    // keyword: a loop whose call_soon_threadsafe takes none must still be served.
    bool schedule(TransportCore* core) {
        // Entering fails only when this context is already entered on this thread; then the
        // current context is that one anyway.
        const bool entered = PyContext_Enter(context_.get()) == 0;
        if (!entered) {
            PyErr_Clear();
        }
        py::Ref scheduled = call_method<names::call_soon_threadsafe>(core->loop, step_.get(), fut_.get());
        if (entered) {
            PyObject* pending = PyErr_GetRaisedException();  // Exit must not see it
            PyContext_Exit(context_.get());
            PyErr_SetRaisedException(pending);
        }
        return static_cast<bool>(scheduled);
    }

    future::HeldRef core_;
    future::HeldRef step_;
    future::HeldRef fut_;
    future::HeldRef context_;
};

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
    const int index = static_cast<int>(step);
    {
        std::lock_guard lock(mutex);
        if (steps[index] != nullptr) {
            return py::Ref::borrow(steps[index]);
        }
    }
    py::Ref made = py::Ref::steal(PyCFunction_NewEx(&step_defs[index], object(), nullptr));
    if (!made) {
        return made;
    }
    py::Ref spare;  // another thread's, when it came first; dropped after the unlock
    std::lock_guard lock(mutex);
    if (steps[index] == nullptr) {
        steps[index] = Py_NewRef(made.get());
        return made;
    }
    spare = std::move(made);
    return py::Ref::borrow(steps[index]);
}

bool TransportCore::when_done(PyObject* fut, Step step) {
    py::Ref target = callable(step);
    if (!target) {
        return false;
    }
    const future::OpFuture* op = future::unwrap(fut);
    // Complete already, on the loop's own thread: queued directly. The step runs in the same
    // place in the loop's queue as through call_soon_threadsafe, without waking the loop
    // through its self-pipe, which a write that finished at once (or a read that found data
    // waiting) would otherwise pay every time.
    if (op->done()) {
        int here = on_loop_thread(loop);
        if (here < 0) {
            return false;
        }
        if (here == 1) {
            return static_cast<bool>(call_method<names::call_soon>(loop, target.get(), fut));
        }
    }
    py::Ref context = py::Ref::steal(PyContext_CopyCurrent());
    if (!context) {
        return false;
    }
    future::add_native_hook(*op->shared(), std::make_unique<Forward>(object(), std::move(target), fut,
                                                                      std::move(context)));
    return true;
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
    // Recorded first: a Future that is already complete forwards right here, and its
    // completion must not look stale when it reaches the step.
    return when_done(fut.get(), step);
}

}  // namespace quorvelin::transport
