// Completion: first result wins, blocking waiters are woken before any Python work, and the
// Python work (asyncio waiters, done callbacks) runs attached on the completing thread.

#include <new>
#include <utility>

#include "errors/exceptions.h"
#include "future/asyncio_names.h"
#include "future/method_calls.h"
#include "future/shared.h"
#include "pyapi/method.h"
#include "pyapi/once_cell.h"
#include "pyapi/guarded.h"

namespace quorvelin::future {
namespace {

// Keeps an exception that is already set out of the way of the Python calls made meanwhile.
class SavedError {
public:
    SavedError() : error_(PyErr_GetRaisedException()) {}
    ~SavedError() {
        if (error_) {
            PyErr_SetRaisedException(error_);
        }
    }
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;

private:
    PyObject* error_;
};

// The current exception, taken; null when the interpreter reported none.
py::Ref take_error() { return py::Ref::steal(PyErr_GetRaisedException()); }

PyOutcome raised_outcome() {
    py::Ref error = take_error();
    if (!error) {
        py::Ref text = py::Ref::steal(PyUnicode_FromString("no exception"));
        if (text) {
            error = py::Ref::steal(PyObject_CallOneArg(PyExc_SystemError, text.get()));
        }
        if (!error) {
            // Making the SystemError failed: that failure stands in for it. The outcome is
            // never empty; PyErr_NoMemory has a spare MemoryError when nothing else is left.
            error = take_error();
            if (!error) {
                PyErr_NoMemory();
                error = take_error();
            }
        }
    }
    return PyOutcome{std::move(error), true};
}

bool is_cancelled_error(PyObject* exception) {
    PyObject* cls = asyncio_name(AsyncioName::CancelledError);
    if (cls == nullptr) {
        PyErr_Clear();
        return false;
    }
    return PyObject_TypeCheck(exception, reinterpret_cast<PyTypeObject*>(cls)) != 0;
}

// The keyword names of `loop.call_soon*(func, future, context=context)`, made once.
PyObject* context_keyword() {
    static py::OnceCell cell;
    return cell.get([] {
        PyObject* name = interned<names::context>();
        return name != nullptr ? PyTuple_Pack(1, name) : nullptr;
    });
}

// The callable that future::schedule hands to the loop; its self is (future, value, flag).
// It ignores whatever arguments it is given.
PyObject* settle_call(PyObject* self, PyObject* const* /*args*/, Py_ssize_t /*nargs*/, PyObject* /*kwnames*/) {
    PyOutcome value{py::Ref::borrow(PyTuple_GET_ITEM(self, 1)), PyTuple_GET_ITEM(self, 2) == Py_True};
    if (settle(PyTuple_GET_ITEM(self, 0), value) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef settle_def = {
    "_settle",
    py::as_cfunction(py::guarded<settle_call>),
    METH_FASTCALL | METH_KEYWORDS,
    "Settles an asyncio future with the result of a port operation.",
};

}  // namespace

Shared::~Shared() {
    bool holds_python =
        state.exception || !state.waiters.empty() || !state.callbacks.empty() || !state.hooks.empty();
    if (!holds_python || is_attached()) {
        return;
    }
    // One attach for all of them rather than one per reference.
    Attach attach;
    state.exception.reset();
    state.waiters.clear();
    state.callbacks.clear();
    state.hooks.clear();
}

PyObject* PyOutcome::release_or_raise() {
    if (is_exception) {
        PyErr_SetRaisedException(object.release());
        return nullptr;
    }
    return object.release();
}

bool complete(Shared& shared, Result<Outcome> offered) {
    std::vector<Waiter> waiters;
    std::vector<std::shared_ptr<Callback>> callbacks;
    std::vector<std::unique_ptr<NativeHook>> hooks;
    const Result<Outcome>* stored = nullptr;
    {
        std::lock_guard lock(shared.mutex);
        if (shared.state.result) {
            return false;
        }
        shared.state.abort.reset();
        // Moved in, not copied, so completing allocates nothing. Once stored the result never
        // changes, so the Python work below reads it after the unlock.
        shared.state.result.emplace(std::move(offered));
        shared.finished.store(true, std::memory_order_release);
        stored = &*shared.state.result;
        waiters = std::move(shared.state.waiters);
        callbacks = std::move(shared.state.callbacks);
        shared.state.waiters.clear();
        shared.state.callbacks.clear();
        hooks = std::move(shared.state.hooks);
        shared.state.hooks.clear();
    }
    shared.cond.notify_all();
    if (waiters.empty() && callbacks.empty() && hooks.empty()) {
        return true;
    }
    Attach attach;
    if (!attach) {
        // Nobody can be told; the entries' references are leaked by their HeldRefs.
        return true;
    }
    SavedError saved;
    for (Waiter& waiter : waiters) {
        py::Ref closed = call_method<names::is_closed>(waiter.event_loop.get());
        int is_closed = closed ? PyObject_IsTrue(closed.get()) : -1;
        if (is_closed < 0) {
            PyErr_WriteUnraisable(nullptr);
        } else if (is_closed == 0) {
            schedule(waiter.event_loop.get(), waiter.future.get(), to_python(shared, *stored));
        }
        waiter = Waiter{};
    }
    for (std::shared_ptr<Callback>& callback : callbacks) {
        callback->run_or_report(Callback::LoopCall::CallSoonThreadsafe);
        callback.reset();
    }

    for (std::unique_ptr<NativeHook>& hook : hooks) {
        hook->run();
        hook.reset();
    }
    return true;
}

bool cancel_shared(Shared& shared) {
    std::optional<runtime::AbortHandle> abort;
    {
        std::lock_guard lock(shared.mutex);
        abort = shared.state.abort;
    }
    bool won = complete(shared, SerialError::cancelled());
    if (won && abort) {
        abort->abort();
    }
    return won;
}

py::Ref exception_object(Shared& shared, const SerialError& error) {
    {
        std::lock_guard lock(shared.mutex);
        if (shared.state.exception) {
            return shared.state.exception.ref();
        }
    }
    py::Ref made;
    {
        SavedError saved;
        try {
            exceptions::raise(error);
        } catch (const std::bad_alloc&) {
            // The message could not be copied: this consumer gets a MemoryError, and the
            // error's own exception is tried again at the next demand rather than cached.
            PyErr_NoMemory();
            return take_error();
        }
        made = take_error();
    }
    std::lock_guard lock(shared.mutex);
    if (!shared.state.exception) {
        shared.state.exception = HeldRef(std::move(made));
        return shared.state.exception.ref();
    }
    // Another thread stored one first; ours is dropped after the lock (declared earlier).
    return shared.state.exception.ref();
}

PyOutcome to_python(Shared& shared, const Result<Outcome>& result) {
    if (result.ok()) {
        py::Ref value = py::Ref::steal(result.value().to_py());
        if (!value) {
            return raised_outcome();
        }
        return PyOutcome{std::move(value), false};
    }
    if (result.error().kind() == SerialError::Kind::Cancelled) {
        exceptions::raise(SerialError::cancelled());
        return raised_outcome();
    }
    py::Ref exception = exception_object(shared, result.error());
    if (!exception) {
        return raised_outcome();
    }
    py::Ref cleared = call_method<names::with_traceback>(exception.get(), Py_None);
    if (!cleared) {
        return raised_outcome();
    }
    return PyOutcome{std::move(cleared), true};
}

int settle(PyObject* asyncio_future, const PyOutcome& value) {
    py::Ref done = call_method<names::done>(asyncio_future);
    if (!done) {
        return -1;
    }
    int is_done = PyObject_IsTrue(done.get());
    if (is_done != 0) {
        return is_done < 0 ? -1 : 0;
    }
    py::Ref answer;
    if (value.is_exception && is_cancelled_error(value.object.get())) {
        answer = call_method<names::cancel>(asyncio_future);
    } else if (value.is_exception) {
        answer = call_method<names::set_exception>(asyncio_future, value.object.get());
    } else {
        answer = call_method<names::set_result>(asyncio_future, value.object.get());
    }
    return answer ? 0 : -1;
}

void schedule(PyObject* event_loop, PyObject* asyncio_future, PyOutcome value) {
    py::Ref self = py::Ref::steal(
        PyTuple_Pack(3, asyncio_future, value.object.get(), value.is_exception ? Py_True : Py_False));
    py::Ref callable;
    if (self) {
        callable = py::Ref::steal(PyCFunction_New(&settle_def, self.get()));
    }
    py::Ref handle;
    if (callable) {
        handle = call_method<names::call_soon_threadsafe>(event_loop, callable.get());
    }
    if (!handle) {
        PyErr_WriteUnraisable(nullptr);
    }
}

void Callback::run_or_report(LoopCall call) const {
    py::Ref answer;
    if (event_loop) {
        PyObject* keywords = context_keyword();
        if (keywords != nullptr) {
            answer = call == LoopCall::CallSoonThreadsafe
                         ? call_method_kw<names::call_soon_threadsafe>(keywords, event_loop.get(), func.get(),
                                                                       future.get(), context.get())
                         : call_method_kw<names::call_soon>(keywords, event_loop.get(), func.get(), future.get(),
                                                            context.get());
        }
    } else {
        answer = call_method<names::run>(context.get(), func.get(), future.get());
    }
    if (!answer) {
        PyErr_WriteUnraisable(func.get());
    }
}

CompleteOnDrop::~CompleteOnDrop() {
    // After a normal completion the attempt below would only lose; making its message costs
    // an allocation on every task's end.
    if (!shared_ || shared_->finished.load(std::memory_order_acquire)) {
        return;
    }
    // A destructor must not throw: when even the message cannot be allocated, the Future
    // still completes, as out of memory (which allocates nothing).
    try {
        complete(*shared_, runtime::operation_panicked());
    } catch (...) {
        complete(*shared_, SerialError::out_of_memory());
    }
}

}  // namespace quorvelin::future
