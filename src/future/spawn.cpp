// Starting operations: one attempt on the calling thread, then the same operation object
// continued as a runtime task whose end completes the Shared.

#include <atomic>
#include <memory>
#include <mutex>

#include "future/shared.h"
#include "runtime/runtime.h"

namespace quorvelin::future {
namespace {

std::atomic<std::uint64_t> spawned{0};

// The task: the guard is made with the frame, so even a task destroyed before its first step
// cannot leave the Shared pending (after a cancellation its attempt simply loses). From the
// first step on both are locals, the operation declared after the guard, so whenever the
// frame goes (finish, fault, abort) the operation and its port locks are released before the
// guard's completion attempt.
runtime::Operation<Unit> task_body(std::unique_ptr<CompleteOnDrop> made_guard, std::shared_ptr<Shared> shared,
                                   runtime::Operation<Outcome> given) {
    std::unique_ptr<CompleteOnDrop> guard = std::move(made_guard);
    runtime::Operation<Outcome> operation = std::move(given);
    Result<Outcome> result = co_await operation;
    operation.reset();
    complete(*shared, std::move(result));
    co_return Unit{};
}

runtime::Operation<Unit> guarded_body(const std::shared_ptr<Shared>& shared, runtime::Operation<Outcome> operation) {
    return task_body(std::make_unique<CompleteOnDrop>(shared), shared, std::move(operation));
}

// Stands in for the task during the first poll on the calling thread, before the task exists:
// whatever that poll armed wakes the gate, and the gate passes every wake-up on to the task
// once it is attached, the one that came before included. So the task's first run waits for
// the operation to be able to progress instead of being scheduled only to arm it once more.
class StartGate final : public runtime::WakeTarget {
public:
    void wake() override {
        std::shared_ptr<runtime::WakeTarget> task;
        {
            std::lock_guard lock(mutex_);
            if (!task_) {
                woken_ = true;
                return;
            }
            task = task_;
        }
        task->wake();
    }

    void attach(std::shared_ptr<runtime::WakeTarget> task) {
        bool woken = false;
        {
            std::lock_guard lock(mutex_);
            task_ = task;
            woken = woken_;
        }
        if (woken) {
            task->wake();
        }
    }

private:
    std::mutex mutex_;
    bool woken_ = false;
    // Strong: until its first run, a parked task is held only by what can wake it.
    std::shared_ptr<runtime::WakeTarget> task_;
};

void store_abort(Shared& shared, const runtime::AbortHandle& abort) {
    std::lock_guard lock(shared.mutex);
    // The task may have finished already; an abort handle must not outlive pending.
    if (!shared.state.result) {
        shared.state.abort = abort;
    }
}

// The first poll of an operation, on the calling thread with the interpreter released: its
// result when it finished (a fault counts as "the operation panicked", and the operation is
// released here then), nothing when it is pending. Whatever it arms wakes the gate.
std::optional<Result<Outcome>> first_poll(runtime::Operation<Outcome>& operation,
                                          const std::shared_ptr<StartGate>& gate) {
    runtime::Waker gate_waker(gate);
    runtime::Context cx(gate_waker);
    std::optional<Result<Outcome>> first;
    try {
        auto poll = operation.poll(cx);
        if (poll.is_ready()) {
            first.emplace(poll.take());
        }
    } catch (...) {
        first.emplace(runtime::fault_error());
    }
    if (first) {
        operation.reset();
    }
    return first;
}

// Nobody else can reach `shared` yet, so no lock is needed.
OpFuture resolved_on(std::shared_ptr<Shared> shared, Result<Outcome> result) {
    shared->state.result.emplace(std::move(result));
    shared->finished.store(true, std::memory_order_release);
    return OpFuture(std::move(shared));
}

// The task is made parked: its first run comes with the first wake-up of what the first poll
// armed, through the gate.
OpFuture spawn_started(runtime::Owned& owned, std::shared_ptr<Shared> shared, std::shared_ptr<StartGate> gate,
                       runtime::Operation<Outcome> operation) {
    spawned.fetch_add(1, std::memory_order_relaxed);
    runtime::ParkedTask<Unit> parked = owned.runtime->spawn_parked(guarded_body(shared, std::move(operation)));
    store_abort(*shared, parked.join.abort_handle());
    gate->attach(std::move(parked.target));
    return OpFuture(std::move(shared));
}

}  // namespace

std::uint64_t spawn_count() { return spawned.load(std::memory_order_relaxed); }

OpFuture OpFuture::resolved(Result<Outcome> result) {
    return resolved_on(std::make_shared<Shared>(), std::move(result));
}

Result<OpFuture> OpFuture::spawn(runtime::Operation<Outcome> operation) {
    auto shared = std::make_shared<Shared>();
    Result<runtime::Owned*> owned = runtime::runtime();
    if (!owned) {
        return std::move(owned).error();
    }
    spawned.fetch_add(1, std::memory_order_relaxed);
    runtime::JoinHandle<Unit> join = owned.value()->runtime->spawn(guarded_body(shared, std::move(operation)));
    store_abort(*shared, join.abort_handle());
    return OpFuture(std::move(shared));
}

Result<OpFuture> OpFuture::start(runtime::Operation<Outcome> operation) {
    Result<runtime::Owned*> owned = runtime::runtime();
    if (!owned) {
        return std::move(owned).error();
    }
    std::optional<Result<Outcome>> first;
    auto gate = std::make_shared<StartGate>();
    // Made before the poll, so that no allocation stands between a first poll that did its
    // I/O and the Future that reports it.
    auto shared = std::make_shared<Shared>();
    {
        py::Unattached released;
        first = first_poll(operation, gate);
    }
    if (first) {
        return resolved_on(std::move(shared), std::move(*first));
    }
    return spawn_started(*owned.value(), std::move(shared), std::move(gate), std::move(operation));
}

Result<OpFuture> OpFuture::start(FirstAttempt& attempt) {
    Result<runtime::Owned*> owned = runtime::runtime();
    if (!owned) {
        return std::move(owned).error();
    }
    auto shared = std::make_shared<Shared>();
    // Nobody else can reach `shared` yet: the attempt stores its result there directly.
    std::optional<Result<Outcome>>& settled = shared->state.result;
    // Made before the attempt, as above: once it has read or written, nothing may fail
    // before its result reaches the Future.
    auto gate = std::make_shared<StartGate>();
    runtime::Operation<Outcome> rest;
    {
        py::Unattached released;
        // The attempt's waker does nothing: it arms nothing that a task would need; the
        // gate's waker is given only to an operation that goes on.
        runtime::Waker noop;
        runtime::Context cx(noop);
        try {
            rest = attempt.begin(cx, settled);
        } catch (...) {
            settled.emplace(runtime::fault_error());
        }
        if (!settled) {
            settled = first_poll(rest, gate);
        }
    }
    if (settled) {
        shared->finished.store(true, std::memory_order_release);
        return OpFuture(std::move(shared));
    }
    return spawn_started(*owned.value(), std::move(shared), std::move(gate), std::move(rest));
}

}  // namespace quorvelin::future
