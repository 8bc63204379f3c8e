#pragma once
// The completion state of one port operation and its native handle.
//
// Shared records the first result offered and ignores the rest; it wakes blocking waiters,
// settles the asyncio futures awaiting it through their loops and runs its done callbacks.
// Its mutex guards short state changes only: nothing calls Python, waits or notifies while
// holding it. Every Python reference it owns is a HeldRef, so whichever thread drops the
// last handle (often a runtime worker with no thread state) releases them safely.

#include <Python.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "errors/result.h"
#include "future/attach.h"
#include "future/native_hook.h"
#include "port/outcome.h"
#include "pyapi/ref.h"
#include "runtime/operation.h"
#include "runtime/task.h"

namespace quorvelin::future {

// An asyncio future awaiting the completion, with the loop it belongs to.
struct Waiter {
    HeldRef event_loop;
    HeldRef future;
};

// One done-callback registration.
struct Callback {
    HeldRef func;
    HeldRef future;      // the Python Future object, the one argument of func
    HeldRef context;     // the contextvars.Context func runs in
    HeldRef event_loop;  // empty when no loop was running at registration

    // Schedules func through the loop's call_soon_threadsafe or call_soon, as `call` says,
    // or without a loop runs it here through context.run. Errors go to the unraisable hook
    // with func as the object; never raises. Call attached.
    enum class LoopCall { CallSoonThreadsafe, CallSoon };
    void run_or_report(LoopCall call) const;
};

struct State {
    std::optional<Result<Outcome>> result;  // absent while pending; set once
    std::vector<Waiter> waiters;
    std::vector<std::shared_ptr<Callback>> callbacks;
    std::vector<std::unique_ptr<NativeHook>> hooks;  // run after the callbacks
    std::optional<runtime::AbortHandle> abort;       // only while pending
    HeldRef exception;                          // the error's exception object, built on demand
};

class Shared {
public:
    Shared() = default;
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;
    // Attaches once when it still owns Python references and the thread is unattached.
    ~Shared();

    std::mutex mutex;  // guards state
    State state;
    std::condition_variable cond;  // notified, all at once, by the winning completion
    // Set (release) right after the result is stored: a stored result never changes, so a
    // reader that sees this set reads it without the mutex.
    std::atomic<bool> finished{false};
};

// A Python value or a Python exception to raise.
struct PyOutcome {
    py::Ref object;
    bool is_exception = false;

    // Returns the value (new reference), or raises the exception and returns nullptr.
    PyObject* release_or_raise();
};

// Stores `result` unless a result is already there; returns whether it did. Any thread, with
// or without the interpreter, never with the mutex held; attaches only when there are
// waiters or callbacks to tell. Never raises.
bool complete(Shared& shared, Result<Outcome> result);

// Completes with SerialError::Cancelled and, when that won, aborts the task.
bool cancel_shared(Shared& shared);

// The Python outcome of a stored result: a new value, a new CancelledError, or the cached
// exception object with its traceback cleared. Call attached.
PyOutcome to_python(Shared& shared, const Result<Outcome>& result);

// A new reference to the one exception object of this completion's error. Call attached.
py::Ref exception_object(Shared& shared, const SerialError& error);

// Settles an asyncio future with a value, an exception or a cancellation; 0, or -1 with the
// exception of a failing method call set. On the future's loop thread, attached.
int settle(PyObject* asyncio_future, const PyOutcome& value);

// Hands `value` to `asyncio_future` on `event_loop`'s thread; failures are reported to the
// unraisable hook. Call attached.
void schedule(PyObject* event_loop, PyObject* asyncio_future, PyOutcome value);

// Completes its Shared with "the operation panicked" when released; after a normal
// completion that attempt loses and changes nothing.
class CompleteOnDrop {
public:
    explicit CompleteOnDrop(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
    ~CompleteOnDrop();
    CompleteOnDrop(const CompleteOnDrop&) = delete;
    CompleteOnDrop& operator=(const CompleteOnDrop&) = delete;

private:
    std::shared_ptr<Shared> shared_;
};

// An operation's first poll made by plain calls, before any operation object exists (see
// port/start.h): begin() either settles the operation, storing its result in `settled`, or
// returns the rest of it.
class FirstAttempt {
public:
    virtual ~FirstAttempt() = default;
    // Runs on the calling thread with the interpreter released; `cx`'s waker does nothing.
    virtual runtime::Operation<Outcome> begin(runtime::Context& cx, std::optional<Result<Outcome>>& settled) = 0;
};

// The native handle of one operation's completion: one shared reference to a Shared. The
// Python Future type wraps one of these.
class OpFuture {
public:
    explicit OpFuture(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}

    // Polls the operation once on this thread (interpreter released); born complete when
    // that finishes it, otherwise spawned. Call attached; returns attached. An error comes
    // only from runtime::runtime().
    static Result<OpFuture> start(runtime::Operation<Outcome> operation);
    // The same for an operation begun by `attempt`: an operation that attempt settles is
    // never built; the rest of one it does not settle is polled once more here, with the
    // waker that reaches its task.
    static Result<OpFuture> start(FirstAttempt& attempt);
    // Continues the operation, as it is, as a runtime task. Any thread; no Python.
    static Result<OpFuture> spawn(runtime::Operation<Outcome> operation);
    // A handle born complete with `result`.
    static OpFuture resolved(Result<Outcome> result);

    // Waits in slices of at most 50 ms with the interpreter released, running signal
    // handlers between slices. Returns the result's value (new reference), or nullptr with
    // the exception set: the operation's, a signal handler's, or TimeoutError at the
    // deadline. Never cancels. Call attached.
    PyObject* wait(std::optional<double> timeout) const;
    // The value, or nullptr with the exception set (InvalidStateError while pending).
    PyObject* result() const;

    // Registers a done callback; when already complete it runs now through "call_soon".
    // Call attached.
    void register_callback(py::Ref func, py::Ref future_object, py::Ref context, py::Ref event_loop) const;
    // Adds an asyncio waiter while pending (and returns null); otherwise returns the stored
    // result, in place, for the caller to settle with.
    const Result<Outcome>* add_waiter(py::Ref event_loop, py::Ref asyncio_future) const;
    // The registered callbacks, in order (new shared references).
    std::vector<std::shared_ptr<Callback>> callbacks() const;
    // Removes the given records (by identity); returns how many were removed.
    std::size_t remove_callbacks(const std::vector<std::shared_ptr<Callback>>& records) const;

    // The stored result itself, or null while pending. Once stored it never changes and
    // lives as long as the Shared, so it may be read without the lock for as long as this
    // handle is held.
    const Result<Outcome>* stored() const;
    bool done() const;
    bool cancelled() const;
    bool cancel() const { return cancel_shared(*shared_); }

    const std::shared_ptr<Shared>& shared() const { return shared_; }

private:
    std::shared_ptr<Shared> shared_;
};

// How many operations were handed to the runtime as tasks (for tests).
std::uint64_t spawn_count();

}  // namespace quorvelin::future
