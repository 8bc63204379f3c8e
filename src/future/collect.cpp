// Garbage-collector support for the Python Future.
//
// A failed Future caches its exception; the exception's traceback holds frames whose locals
// hold the Future, which holds the completion state, which holds the exception. The Future
// therefore reports the Python references inside the state as its own, but only while it is
// the state's sole holder: otherwise a task or another handle owns them as well, and counting
// them for this Future would let the collector free objects that are still reachable.

#include <mutex>

#include "future/python_future.h"

namespace quorvelin::future {
namespace {

bool sole_holder(const std::shared_ptr<Shared>& shared) {
    // Nobody can take a new handle without holding one already, so 1 stays 1.
    return shared && shared.use_count() == 1;
}

PyObject* object_result(const State& state) {
    if (!state.result || !state.result->ok()) return nullptr;
    const ObjectHandle* handle = std::get_if<ObjectHandle>(&state.result->value().value());
    return handle != nullptr ? static_cast<PyObject*>(handle->get()) : nullptr;
}

}  // namespace

int traverse_sole(const std::shared_ptr<Shared>& shared, visitproc visit, void* arg) {
    if (!sole_holder(shared)) return 0;
    // A thread that holds the mutex is one of this Future's own callers; skipping a round
    // only delays the collection.
    std::unique_lock lock(shared->mutex, std::try_to_lock);
    if (!lock.owns_lock()) return 0;
    const State& state = shared->state;
    Py_VISIT(state.exception.get());
    Py_VISIT(object_result(state));
    for (const Waiter& waiter : state.waiters) {
        Py_VISIT(waiter.event_loop.get());
        Py_VISIT(waiter.future.get());
    }
    for (const std::shared_ptr<Callback>& callback : state.callbacks) {
        Py_VISIT(callback->func.get());
        Py_VISIT(callback->future.get());
        Py_VISIT(callback->context.get());
        Py_VISIT(callback->event_loop.get());
    }
    return 0;
}

void clear_sole(const std::shared_ptr<Shared>& shared) {
    if (!sole_holder(shared)) return;
    // Taken out under the lock, released after it (releasing may run Python code).
    HeldRef exception;
    ObjectHandle object;
    std::vector<Waiter> waiters;
    std::vector<std::shared_ptr<Callback>> callbacks;
    {
        std::lock_guard lock(shared->mutex);
        State& state = shared->state;
        exception = std::move(state.exception);
        if (state.result && state.result->ok()) {
            if (auto* handle = std::get_if<ObjectHandle>(&state.result->value().value())) {
                object = std::move(*handle);  // an empty handle reads as None
            }
        }
        waiters = std::move(state.waiters);
        callbacks = std::move(state.callbacks);
        state.waiters.clear();
        state.callbacks.clear();
    }
}

}  // namespace quorvelin::future
