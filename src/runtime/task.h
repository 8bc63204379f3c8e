#pragma once
// Tasks: an Operation<T> run on the io_context's threads, with a JoinHandle and an AbortHandle.
//
// Task state machine (under the task's mutex):
//   Scheduled --run--> Running --pending--> Idle --wake--> Scheduled
//                      Running --woken during the poll--> Scheduled (polled again)
//                      Running --ready--> Done
// A wake while Scheduled is absorbed; a wake while Running is remembered, so none is lost.
// abort() sets a flag and, when the task is Idle, schedules it; the next run on a worker
// then drops the operation instead of polling it. Aborting a task that is being polled
// therefore takes effect right after that poll, and the operation is always destroyed on a
// runtime thread, never inside a poll and never by whoever drops the last waker.
//
// What the joiner sees: the operation's own result when it finished (this includes the
// "the operation panicked" error of a faulting operation), otherwise SerialError::Cancelled.
// `JoinHandle::end()` tells apart an abort before the first poll (the operation body never
// ran, so none of its locals existed) from an abort after it. A completion guard that must
// fire when a started task is destroyed unfinished belongs inside the operation as a
// coroutine local: it exists only once the first poll ran, and the frame's destruction on
// abort runs it.

#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>

#include "errors/result.h"
#include "runtime/handler_slot.h"
#include "runtime/operation.h"
#include "runtime/reactor_wake.h"

namespace quorvelin::runtime {

enum class TaskEnd { Running, Finished, AbortedBeforeStart, AbortedAfterStart };

namespace detail {

template <class T>
class JoinState {
public:
    void complete(Result<T> result, TaskEnd end) {
        Waker waker;
        {
            std::lock_guard lock(mutex_);
            if (end_ != TaskEnd::Running) {
                return;
            }
            result_.emplace(std::move(result));
            end_ = end;
            waker = std::move(waiter_);
        }
        done_.notify_all();
        waker.wake();
    }

    Poll<Result<T>> poll(Context& cx) {
        std::lock_guard lock(mutex_);
        if (result_) {
            return take_locked();
        }
        waiter_ = cx.waker();
        return pending;
    }

    template <class Clock, class Duration>
    std::optional<Result<T>> wait_until(std::chrono::time_point<Clock, Duration> deadline) {
        std::unique_lock lock(mutex_);
        if (!done_.wait_until(lock, deadline, [&] { return result_.has_value(); })) {
            return std::nullopt;
        }
        return take_locked();
    }

    TaskEnd end() const {
        std::lock_guard lock(mutex_);
        return end_;
    }

private:
    Result<T> take_locked() {
        Result<T> result = std::move(*result_);
        // Only one consumer; a second take sees the same error shape as a lost task.
        result_.emplace(SerialError::io(std::nullopt, "the task result was already taken"));
        return result;
    }

    mutable std::mutex mutex_;
    std::condition_variable done_;
    std::optional<Result<T>> result_;
    Waker waiter_;
    TaskEnd end_ = TaskEnd::Running;
};

class TaskCore : public WakeTarget, public ReactorContinuation, public std::enable_shared_from_this<TaskCore> {
public:
    explicit TaskCore(asio::io_context& io) : io_(io) {}

    // Run by a reactor handler's guard: the task was scheduled from inside the handler.
    void run_continuation() override { run(); }

    void wake() override;
    void abort();
    // Schedules the first run; called once, right after construction.
    void start();
    // Instead of start(): the first run waits for the first wake-up, as if the task had been
    // polled once and found pending.
    void park();

protected:
    // Polls the operation; on completion releases it, then publishes its result.
    virtual bool poll_operation(Context& cx) = 0;
    // Releases the unfinished operation, then publishes SerialError::Cancelled.
    virtual void drop_operation(TaskEnd end) = 0;

    asio::io_context& io_;

private:
    enum class Phase { Scheduled, Running, Idle, Done };
    void schedule_locked();
    void run();
    // One step; returns how the task ended when its operation must now be dropped.
    std::optional<TaskEnd> run_once();

    std::mutex mutex_;
    HandlerSlot slot_;  // what queuing the task's run is allocated in, so a wake-up cannot fail
    Phase phase_ = Phase::Scheduled;
    bool woken_while_running_ = false;
    bool abort_requested_ = false;
    bool started_ = false;
};

template <class T>
class Task final : public TaskCore {
public:
    Task(asio::io_context& io, Operation<T> operation, std::shared_ptr<JoinState<T>> join)
        : TaskCore(io), operation_(std::move(operation)), join_(std::move(join)) {}

    // Reached only when every reference went away while the operation was unfinished
    // (nobody can wake or abort it any more); its destruction is still moved to a worker.
    ~Task() override {
        if (operation_.valid() && !made_in_this_process()) {
            // A forked child's copy: the io_context has no threads here and its locks may be
            // held by a thread the child lacks. The operation is left as it is, never run.
            (void)new Operation<T>(std::move(operation_));
            return;
        }
        if (operation_.valid()) {
            auto release = [operation = std::move(operation_), join = std::move(join_)]() mutable {
                operation.reset();
                if (join) {
                    join->complete(SerialError::cancelled(), TaskEnd::AbortedAfterStart);
                }
            };
            try {
                asio::post(io_, std::move(release));
            } catch (const std::exception&) {
                // No memory for the handler, and a destructor must not throw: released here
                // after all (a failed post has not taken the handler).
                release();
            }
        }
    }

private:
    bool poll_operation(Context& cx) override {
        auto result = operation_.poll(cx);
        if (result.is_pending()) {
            return false;
        }
        operation_.reset();
        join_->complete(result.take(), TaskEnd::Finished);
        return true;
    }

    void drop_operation(TaskEnd end) override {
        operation_.reset();
        join_->complete(SerialError::cancelled(), end);
    }

    Operation<T> operation_;
    std::shared_ptr<JoinState<T>> join_;
};

}  // namespace detail

// Aborts a task from any thread; it does not keep the task alive.
class AbortHandle {
public:
    AbortHandle() = default;
    explicit AbortHandle(std::weak_ptr<detail::TaskCore> task) : task_(std::move(task)) {}

    void abort() const {
        if (auto task = task_.lock()) {
            task->abort();
        }
    }

private:
    std::weak_ptr<detail::TaskCore> task_;
};

// The join side of a task: pollable, or waited on from a foreign thread. Dropping it
// detaches the task.
template <class T>
class JoinHandle {
public:
    JoinHandle(std::shared_ptr<detail::JoinState<T>> join, AbortHandle abort)
        : join_(std::move(join)), abort_(std::move(abort)) {}

    Poll<Result<T>> poll(Context& cx) { return join_->poll(cx); }

    // The result once the task ended, or nothing when the deadline passed first.
    template <class Clock, class Duration>
    std::optional<Result<T>> wait_until(std::chrono::time_point<Clock, Duration> deadline) {
        return join_->wait_until(deadline);
    }
    template <class Rep, class Period>
    std::optional<Result<T>> wait_for(std::chrono::duration<Rep, Period> timeout) {
        return join_->wait_until(std::chrono::steady_clock::now() + timeout);
    }

    TaskEnd end() const { return join_->end(); }
    bool is_finished() const { return end() != TaskEnd::Running; }
    const AbortHandle& abort_handle() const { return abort_; }
    void abort() const { abort_.abort(); }

private:
    std::shared_ptr<detail::JoinState<T>> join_;
    AbortHandle abort_;
};

// Runs `operation` on the threads of `io`; it is scheduled at once.
template <class T>
JoinHandle<T> spawn_on(asio::io_context& io, Operation<T> operation) {
    auto join = std::make_shared<detail::JoinState<T>>();
    auto task = std::make_shared<detail::Task<T>>(io, std::move(operation), join);
    task->start();
    return JoinHandle<T>(std::move(join), AbortHandle(task));
}

// A task whose first run waits for a wake-up of the returned target (or an abort): for an
// operation whose leaves were already polled, and armed to wake that target, elsewhere.
template <class T>
struct ParkedTask {
    JoinHandle<T> join;
    std::shared_ptr<WakeTarget> target;
};

template <class T>
ParkedTask<T> spawn_parked_on(asio::io_context& io, Operation<T> operation) {
    auto join = std::make_shared<detail::JoinState<T>>();
    auto task = std::make_shared<detail::Task<T>>(io, std::move(operation), join);
    task->park();
    return ParkedTask<T>{JoinHandle<T>(std::move(join), AbortHandle(task)), task};
}

}  // namespace quorvelin::runtime
