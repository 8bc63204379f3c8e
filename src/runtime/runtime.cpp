#include "runtime/runtime.h"

#include <asio/steady_timer.hpp>

#include <mutex>
#include <system_error>

#include "runtime/process_id.h"
#include "runtime/runtime_thread.h"

namespace quorvelin::runtime {
namespace {

thread_local Runtime* driving_runtime = nullptr;
thread_local asio::io_context* driving_context = nullptr;
thread_local ContextDrivers* driving_drivers = nullptr;

// What a failed build leaves behind stays reachable here and is never destroyed: a worker
// that did start uses it, and Asio cannot safely destroy a half-made io_context.
Runtime* abandoned_runtime = nullptr;
asio::io_context* abandoned_io = nullptr;
asio::io_context* abandoned_tasks = nullptr;

SerialError start_failure(std::optional<int> os_errno, const std::string& text) {
    return SerialError::io(os_errno, "failed to start the async runtime: " + text);
}

}  // namespace

Runtime::Runtime(asio::io_context& io, asio::io_context& tasks)
    : io_(io),
      tasks_(tasks),
      keep_reactor_running_(asio::make_work_guard(io_)),
      keep_tasks_running_(asio::make_work_guard(tasks_)),
      pool_(BlockingPool::Limits{}),
      reactor_drivers_(*this, io_, tasks_, pool_),
      task_drivers_(*this, tasks_, io_, pool_) {}

ContextDrivers* Runtime::drivers_of(asio::io_context* context) {
    if (context == &io_) {
        return &reactor_drivers_;
    }
    return context == &tasks_ ? &task_drivers_ : nullptr;
}

Result<Runtime*> Runtime::build() {
    asio::io_context* io = nullptr;
    asio::io_context* tasks = nullptr;
    try {
        // Each context is run by one worker, and by a pool thread beside it while that worker
        // blocks (WorkerHandOff); so neither may take the single-thread hint, under which a
        // worker's own posts would stay on its private queue while it blocks.
        io = new asio::io_context();
        tasks = new asio::io_context();
        // Asio makes a context's reactor (epoll, eventfd, timerfd) lazily; a timer forces it
        // now, so that a failure to make those descriptors is a start-up failure, not a later
        // fault. The task context needs one too: the reactor worker's watch is a timer there.
        asio::steady_timer make_reactor(*io);
        asio::steady_timer make_task_reactor(*tasks);
    } catch (const std::system_error& error) {
        abandoned_io = io;
        abandoned_tasks = tasks;
        return start_failure(error.code().value(), SerialError::from_os_error(error.code().value()).display());
    } catch (const std::exception& error) {
        abandoned_io = io;
        abandoned_tasks = tasks;
        return start_failure(std::nullopt, error.what());
    }
    auto* runtime = new Runtime(*io, *tasks);
    static_assert(worker_threads == 2, "one worker per context");
    for (asio::io_context* context : {io, tasks}) {
        Status started = start_runtime_thread([runtime, context] { runtime->run_worker(*context); });
        if (!started) {
            abandoned_runtime = runtime;
            const SerialError& error = started.error();
            return start_failure(error.os_errno(), error.display());
        }
    }
    return runtime;
}

void Runtime::run_worker(asio::io_context& context) {
    DrivingScope scope(this, &context);
    for (;;) {
        try {
            context.run();
        } catch (...) {
            // Handlers of this runtime do not throw; should one do so, keep the worker alive.
        }
    }
}

Runtime* Runtime::current_worker() { return driving_runtime; }

asio::io_context* Runtime::current_context() { return driving_context; }

ContextDrivers* Runtime::current_drivers() { return driving_drivers; }

Runtime::DrivingScope::DrivingScope(Runtime* runtime, asio::io_context* context)
    : previous_(driving_runtime), previous_context_(driving_context), previous_drivers_(driving_drivers) {
    driving_runtime = runtime;
    driving_context = runtime != nullptr ? context : nullptr;
    driving_drivers = runtime != nullptr ? runtime->drivers_of(context) : nullptr;
}

Runtime::DrivingScope::~DrivingScope() {
    driving_runtime = previous_;
    driving_context = previous_context_;
    driving_drivers = previous_drivers_;
}

Result<Owned> start() {
    Result<Runtime*> built = Runtime::build();
    if (!built) {
        return std::move(built).error();
    }
    return Owned{*built, process_id()};
}

Result<Owned*> runtime() {
    // Allocated once and never freed: static destructors at exit must not race the workers.
    // A function-local static: once filled, a use costs one load of its guard (std::call_once
    // would set two thread-locals on every call).
    static Result<Owned>* const cell = new Result<Owned>(start());
    if (!cell->ok()) {
        return cell->error();
    }
    // The cached id: a load, not a system call, on every use.
    if (cell->value().pid != process_id()) {
        return SerialError::forked();
    }
    return &cell->value();
}

}  // namespace quorvelin::runtime
