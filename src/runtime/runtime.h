#pragma once
// The process-wide runtime: exactly two worker threads, each running an io_context of its
// own, plus a blocking pool. Built on first use by runtime::runtime(), never shut down and
// never destroyed (its threads live until the process ends, so nothing of it may be torn down
// by static destructors at exit).
//
// One worker runs the reactor context (io()): descriptor readiness and timers. A task that a
// reactor handler wakes runs right there, after the handler (ReactorWake), so a completion
// costs that worker one return from epoll_wait and nothing else. The other worker runs the
// task context (tasks()): tasks spawned, or woken, from any other thread, which find it asleep
// in its context. With both on one io_context, Asio's scheduler woke the second worker on
// every reactor event (the reactor task was still queued behind the handler) and passed the
// reactor over to it: three futex calls, an extra epoll_wait and a context switch per
// completion.
//
// Each worker watches the other's context (ContextDrivers): while a worker is occupied by
// Python or a blocking section, a stand-in from the blocking pool drives its context, so no
// other port's readiness, deadline or task waits for what one worker runs.

#include <asio/io_context.hpp>

#include <cstdint>
#include <functional>

#include "errors/result.h"
#include "runtime/blocking_pool.h"
#include "runtime/context_drivers.h"
#include "runtime/task.h"

namespace quorvelin::runtime {

class Runtime {
public:
    static constexpr int worker_threads = 2;

    // Builds a runtime; on failure the half-built parts are leaked on purpose, since a
    // thread that did start may still use them.
    static Result<Runtime*> build();

    // Readiness and timers register here.
    asio::io_context& io() { return io_; }
    // Tasks are queued here when not woken by a reactor handler.
    asio::io_context& tasks() { return tasks_; }
    BlockingPool& blocking_pool() { return pool_; }

    template <class T>
    JoinHandle<T> spawn(Operation<T> operation) {
        return spawn_on(tasks_, std::move(operation));
    }
    template <class T>
    ParkedTask<T> spawn_parked(Operation<T> operation) {
        return spawn_parked_on(tasks_, std::move(operation));
    }

    // The runtime whose io_context the calling thread is driving (a worker, or a pool thread
    // standing in for an occupied worker), or null.
    static Runtime* current_worker();
    // The context of that runtime which the calling thread drives, or null.
    static asio::io_context* current_context();
    // The drivers of that context, or null.
    static ContextDrivers* current_drivers();
    // The drivers of one of this runtime's two contexts; null for any other context.
    ContextDrivers* drivers_of(asio::io_context* context);

    // Marks the calling thread as driving `context` of `runtime` while it lives; a null
    // runtime marks it as outside any runtime.
    class DrivingScope {
    public:
        explicit DrivingScope(Runtime* runtime, asio::io_context* context = nullptr);
        ~DrivingScope();
        DrivingScope(const DrivingScope&) = delete;
        DrivingScope& operator=(const DrivingScope&) = delete;

    private:
        Runtime* previous_;
        asio::io_context* previous_context_;
        ContextDrivers* previous_drivers_;
    };

private:
    Runtime(asio::io_context& io, asio::io_context& tasks);
    void run_worker(asio::io_context& context);

    asio::io_context& io_;
    asio::io_context& tasks_;
    // Keep run() from returning when a queue is momentarily empty.
    asio::executor_work_guard<asio::io_context::executor_type> keep_reactor_running_;
    asio::executor_work_guard<asio::io_context::executor_type> keep_tasks_running_;
    BlockingPool pool_;
    // Each watched from the other context (declared after the pool they take stand-ins from).
    ContextDrivers reactor_drivers_;
    ContextDrivers task_drivers_;
};

// The runtime and the process that built it.
struct Owned {
    Runtime* runtime;
    std::uint32_t pid;
};

// Builds the runtime (used only by the one-time initialisation behind runtime()).
Result<Owned> start();

// The process-wide runtime; the start-up error, unchanged, on every call once start failed;
// SerialError::Forked in a child process created by fork() after the runtime was built.
Result<Owned*> runtime();

}  // namespace quorvelin::runtime
