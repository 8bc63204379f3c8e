// The blocking driver. The inline attempt polls the operation in place, so when it has to be
// handed off the task continues the very same coroutine frame: locks held, bytes read and
// deadlines computed carry over untouched.

#include "serial/drive.h"

#include <chrono>

#include "errors/exceptions.h"
#include "future/shared.h"
#include "pyapi/ref.h"
#include "runtime/block_on.h"
#include "runtime/runtime.h"
#include "runtime/sleep.h"

namespace quorvelin::serial {
namespace {

using runtime::Clock;
using runtime::Instant;

constexpr auto INLINE_SLICE = std::chrono::milliseconds(50);

// now + 50 ms; the clock's far end when that cannot be represented (the operation then
// simply runs inline to its end).
Instant inline_deadline() {
    Instant now = Clock::now();
    if (now > Instant::max() - INLINE_SLICE) {
        return Instant::max();
    }
    return now + INLINE_SLICE;
}

// The operation's result, or nothing when the inline slice ran out first (a result that is
// there at the deadline still counts).
std::optional<Result<Outcome>> run_inline(runtime::Operation<Outcome>& operation) {
    try {
        return runtime::block_on(operation, inline_deadline());
    } catch (...) {
        return Result<Outcome>(runtime::fault_error());
    }
}

}  // namespace

PyObject* drive(runtime::Operation<Outcome> operation) {
    Result<runtime::Owned*> owned = runtime::runtime();
    if (!owned) {
        operation.reset();
        return exceptions::raise(std::move(owned).error());
    }
    std::optional<Result<Outcome>> finished;
    {
        py::Unattached released;
        finished = run_inline(operation);
    }
    if (finished) {
        PyObject* value = nullptr;
        if (finished->ok()) {
            value = finished->value().to_py();
        } else {
            exceptions::raise(std::move(*finished).error());
        }
        operation.reset();
        return value;
    }
    Result<future::OpFuture> spawned = future::OpFuture::spawn(std::move(operation));
    if (!spawned) {
        return exceptions::raise(std::move(spawned).error());
    }
    const future::OpFuture& handle = spawned.value();
    PyObject* value = handle.wait(std::nullopt);
    if (value == nullptr) {
        // Whatever ended the wait, the operation must not run on; the exception is kept
        // aside so that the cancellation runs with none set.
        PyObject* error = PyErr_GetRaisedException();
        future::cancel_shared(*handle.shared());
        PyErr_SetRaisedException(error);
    }
    return value;
}

PyObject* run(runtime::Operation<Outcome> operation) {
    // On a runtime worker (a done callback making a blocking call) a stand-in drives the
    // worker's context while this one blocks, and the thread counts as outside the runtime
    // so the driver's own block-on and wait do not hand off again.
    std::optional<runtime::WorkerHandOff> hand_off;
    std::optional<runtime::Runtime::DrivingScope> outside;
    if (runtime::Runtime::current_worker() != nullptr) {
        hand_off.emplace();
        outside.emplace(nullptr);
    }
    return drive(std::move(operation));
}

}  // namespace quorvelin::serial
