#include "runtime/task.h"

#include <asio/bind_allocator.hpp>
#include <asio/defer.hpp>

#include <exception>
#include <new>

#include "runtime/reactor_wake.h"
#include "runtime/runtime.h"

namespace quorvelin::runtime::detail {

void TaskCore::start() {
    std::lock_guard lock(mutex_);
    schedule_locked();
}

void TaskCore::park() {
    std::lock_guard lock(mutex_);
    phase_ = Phase::Idle;
}

void TaskCore::schedule_locked() {
    if (ReactorWake::active()) {
        Runtime* worker = Runtime::current_worker();
        if (worker != nullptr && &worker->tasks() == &io_) {
            try {
                // Runs on this worker once the handler's wake-ups are made (its guard ends).
                ReactorWake::run_after(shared_from_this());
                phase_ = Phase::Scheduled;
                return;
            } catch (const std::bad_alloc&) {
                // No room to note it: queued as an ordinary run instead, in the task's slot.
            }
        }
    }
    auto run = asio::bind_allocator(SlotAllocator<void>(slot_), [self = shared_from_this()] { self->run(); });
    if (ReactorWake::active()) {
        // A task of some other io_context: a continuation on its own workers' queue, which
        // on a thread that is none of them falls back to an ordinary post.
        asio::defer(io_, std::move(run));
    } else {
        asio::post(io_, std::move(run));
    }
    // Only once queued: should queuing fail, the task stays as it was for the next wake-up.
    phase_ = Phase::Scheduled;
}

void TaskCore::wake() {
    std::lock_guard lock(mutex_);
    switch (phase_) {
        case Phase::Idle:
            try {
                schedule_locked();
            } catch (const std::exception&) {
                // Wake-ups come from destructors and reactor handlers, which cannot take an
                // error; the slot makes this unreachable short of the io_context itself failing.
            }
            break;
        case Phase::Running:
            woken_while_running_ = true;
            break;
        case Phase::Scheduled:
        case Phase::Done:
            break;
    }
}

void TaskCore::abort() {
    if (!made_in_this_process()) {
        return;  // a forked child's copy of a task that only the parent runs
    }
    std::lock_guard lock(mutex_);
    if (phase_ == Phase::Done) {
        return;
    }
    abort_requested_ = true;
    if (phase_ == Phase::Idle) {
        schedule_locked();
    }
}

void TaskCore::run() {
    if (auto end = run_once()) {
        // Outside the task's mutex: the operation's guards may take other locks.
        drop_operation(*end);
    }
}

std::optional<TaskEnd> TaskCore::run_once() {
    {
        std::lock_guard lock(mutex_);
        if (phase_ != Phase::Scheduled) {
            return std::nullopt;
        }
        if (abort_requested_) {
            phase_ = Phase::Done;
            return started_ ? TaskEnd::AbortedAfterStart : TaskEnd::AbortedBeforeStart;
        }
        phase_ = Phase::Running;
        started_ = true;
        woken_while_running_ = false;
    }
    Waker waker(shared_from_this());
    Context cx(waker);
    bool finished = poll_operation(cx);
    std::lock_guard lock(mutex_);
    if (finished) {
        phase_ = Phase::Done;
    } else if (abort_requested_) {
        phase_ = Phase::Done;
        return TaskEnd::AbortedAfterStart;
    } else if (woken_while_running_) {
        schedule_locked();
    } else {
        phase_ = Phase::Idle;
    }
    return std::nullopt;
}

}  // namespace quorvelin::runtime::detail
