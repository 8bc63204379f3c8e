// Starting operations: one attempt on the calling thread, then the same operation object
// continued as a runtime task whose end completes the Shared.

#include <atomic>

#include "future/shared.h"
#include "runtime/runtime.h"

namespace quorvelin::future {
namespace {

std::atomic<std::uint64_t> spawned{0};

// The task: the guard exists from the first step on, and the operation is a local declared
// after it, so whenever the frame goes (finish, fault, abort) the operation and its port
// locks are released before the guard's completion attempt.
runtime::Operation<Unit> task_body(std::shared_ptr<Shared> shared, runtime::Operation<Outcome> given) {
    CompleteOnDrop guard(shared);
    runtime::Operation<Outcome> operation = std::move(given);
    Result<Outcome> result = co_await operation;
    operation.reset();
    complete(*shared, std::move(result));
    co_return Unit{};
}

}  // namespace

std::uint64_t spawn_count() { return spawned.load(std::memory_order_relaxed); }

OpFuture OpFuture::resolved(Result<Outcome> result) {
    auto shared = std::make_shared<Shared>();
    shared->state.result.emplace(std::move(result));
    return OpFuture(std::move(shared));
}

Result<OpFuture> OpFuture::spawn(runtime::Operation<Outcome> operation) {
    auto shared = std::make_shared<Shared>();
    Result<runtime::Owned*> owned = runtime::runtime();
    if (!owned) {
        return std::move(owned).error();
    }
    spawned.fetch_add(1, std::memory_order_relaxed);
    runtime::Operation<Unit> body = task_body(shared, std::move(operation));
    runtime::JoinHandle<Unit> join = owned.value()->runtime->spawn(std::move(body));
    {
        std::lock_guard lock(shared->mutex);
        // The task may have finished already; an abort handle must not outlive pending.
        if (!shared->state.result) {
            shared->state.abort = join.abort_handle();
        }
    }
    return OpFuture(std::move(shared));
}

Result<OpFuture> OpFuture::start(runtime::Operation<Outcome> operation) {
    Result<runtime::Owned*> owned = runtime::runtime();
    if (!owned) {
        return std::move(owned).error();
    }
    std::optional<Result<Outcome>> first;
    bool faulted = false;
    {
        py::Unattached released;
        runtime::Waker noop = runtime::Waker::noop();
        runtime::Context cx(noop);
        try {
            auto poll = operation.poll(cx);
            if (poll.is_ready()) {
                first.emplace(poll.take());
            }
        } catch (...) {
            faulted = true;
        }
        if (faulted) {
            operation.reset();
        }
    }
    if (faulted) {
        return resolved(runtime::operation_panicked());
    }
    if (first) {
        OpFuture future = resolved(std::move(*first));
        operation.reset();
        return future;
    }
    return spawn(std::move(operation));
}

}  // namespace quorvelin::future
