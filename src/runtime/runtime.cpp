#include "runtime/runtime.h"

#include <unistd.h>

#include <asio/steady_timer.hpp>

#include <mutex>
#include <system_error>

#include "runtime/runtime_thread.h"

namespace quorvelin::runtime {
namespace {

thread_local Runtime* driving_runtime = nullptr;

// A runtime whose build failed halfway stays reachable here: a worker that did start uses it.
Runtime* abandoned_runtime = nullptr;

SerialError start_failure(std::optional<int> os_errno, const std::string& text) {
    return SerialError::io(os_errno, "failed to start the async runtime: " + text);
}

}  // namespace

Runtime::Runtime()
    : io_(worker_threads), keep_running_(asio::make_work_guard(io_)), pool_(BlockingPool::Limits{}) {
    // Asio makes its reactor (epoll, eventfd, timerfd) lazily; a timer forces it now, so that
    // a failure to make those descriptors is a start-up failure rather than a later fault.
    asio::steady_timer make_reactor(io_);
}

Result<Runtime*> Runtime::build() {
    Runtime* runtime = nullptr;
    try {
        runtime = new Runtime();  // the reactor's descriptors are made here
    } catch (const std::system_error& error) {
        return start_failure(error.code().value(), SerialError::from_os_error(error.code().value()).display());
    } catch (const std::exception& error) {
        return start_failure(std::nullopt, error.what());
    }
    for (int i = 0; i < worker_threads; ++i) {
        Status started = start_runtime_thread([runtime] { runtime->run_worker(); });
        if (!started) {
            abandoned_runtime = runtime;
            const SerialError& error = started.error();
            return start_failure(error.os_errno(), error.display());
        }
    }
    return runtime;
}

void Runtime::run_worker() {
    DrivingScope scope(this);
    for (;;) {
        try {
            io_.run();
        } catch (...) {
            // Handlers of this runtime do not throw; should one do so, keep the worker alive.
        }
    }
}

Runtime* Runtime::current_worker() { return driving_runtime; }

Runtime::DrivingScope::DrivingScope(Runtime* runtime) : previous_(driving_runtime) { driving_runtime = runtime; }

Runtime::DrivingScope::~DrivingScope() { driving_runtime = previous_; }

Result<Owned> start() {
    Result<Runtime*> built = Runtime::build();
    if (!built) {
        return std::move(built).error();
    }
    return Owned{*built, static_cast<std::uint32_t>(::getpid())};
}

Result<Owned*> runtime() {
    // Allocated once and never freed: static destructors at exit must not race the workers.
    static std::once_flag once;
    static Result<Owned>* cell = nullptr;
    std::call_once(once, [] { cell = new Result<Owned>(start()); });
    if (!cell->ok()) {
        return cell->error();
    }
    if (cell->value().pid != static_cast<std::uint32_t>(::getpid())) {
        return SerialError::forked();
    }
    return &cell->value();
}

}  // namespace quorvelin::runtime
