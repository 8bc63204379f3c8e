#pragma once
// The process-wide runtime: one io_context (reactor, timers and task queue) run by exactly
// two worker threads, plus a blocking pool. Built on first use by runtime::runtime(), never
// shut down and never destroyed (its threads live until the process ends, so nothing of it
// may be torn down by static destructors at exit).

#include <asio/io_context.hpp>

#include <cstdint>
#include <functional>

#include "errors/result.h"
#include "runtime/blocking_pool.h"
#include "runtime/task.h"

namespace quorvelin::runtime {

class Runtime {
public:
    static constexpr int worker_threads = 2;

    // Builds a runtime; on failure the half-built parts are leaked on purpose, since a
    // thread that did start may still use them.
    static Result<Runtime*> build();

    asio::io_context& io() { return io_; }
    BlockingPool& blocking_pool() { return pool_; }

    template <class T>
    JoinHandle<T> spawn(Operation<T> operation) {
        return spawn_on(io_, std::move(operation));
    }
    template <class T>
    ParkedTask<T> spawn_parked(Operation<T> operation) {
        return spawn_parked_on(io_, std::move(operation));
    }

    // The runtime whose io_context the calling thread is driving (a worker, or a pool thread
    // standing in for a blocked worker), or null.
    static Runtime* current_worker();

    // Marks the calling thread as driving `runtime` while it lives.
    class DrivingScope {
    public:
        explicit DrivingScope(Runtime* runtime);
        ~DrivingScope();
        DrivingScope(const DrivingScope&) = delete;
        DrivingScope& operator=(const DrivingScope&) = delete;

    private:
        Runtime* previous_;
    };

private:
    explicit Runtime(asio::io_context& io);
    void run_worker();

    asio::io_context& io_;
    // Keeps run() from returning when the queue is momentarily empty.
    asio::executor_work_guard<asio::io_context::executor_type> keep_running_;
    BlockingPool pool_;
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
