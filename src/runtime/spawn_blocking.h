#pragma once
// spawn_blocking: runs a function on a blocking pool and yields its result as a pollable.
// Dropping the BlockingJoin leaves the function running to its end.
//
// A failed blocking task yields SerialError::Io without an error number whose text is the
// runtime's description of the failure: "blocking task panicked" when the function threw,
// "could not start a blocking task: {}" when no pool thread could be started; a function
// that ran out of memory yields SerialError::OutOfMemory.

#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>

#include "errors/result.h"
#include "runtime/blocking_pool.h"
#include "runtime/operation.h"
#include "runtime/poll.h"

namespace quorvelin::runtime {

template <class R>
class BlockingJoin {
public:
    struct State {
        std::mutex mutex;
        std::optional<Result<R>> result;
        Waker waker;

        void complete(Result<R> value) {
            Waker to_wake;
            {
                std::lock_guard lock(mutex);
                result.emplace(std::move(value));
                to_wake = std::move(waker);
            }
            to_wake.wake();
        }
    };

    explicit BlockingJoin(std::shared_ptr<State> state) : state_(std::move(state)) {}

    Poll<Result<R>> poll(Context& cx) {
        std::lock_guard lock(state_->mutex);
        if (state_->result) {
            return std::move(*state_->result);
        }
        state_->waker = cx.waker();
        return pending;
    }

private:
    std::shared_ptr<State> state_;
};

namespace detail {

template <class F>
Result<std::invoke_result_t<F&>> run_caught(F& function) noexcept {
    try {
        return function();
    } catch (...) {
        return runtime::fault_error("blocking task panicked");
    }
}

}  // namespace detail

template <class F>
BlockingJoin<std::invoke_result_t<F&>> spawn_blocking(BlockingPool& pool, F function) {
    using R = std::invoke_result_t<F&>;
    using State = typename BlockingJoin<R>::State;
    auto state = std::make_shared<State>();
    // Shared so the job stays copyable for std::function even with a move-only function.
    auto shared_function = std::make_shared<F>(std::move(function));
    Status submitted = pool.submit([state, shared_function] {
        state->complete(detail::run_caught(*shared_function));
    });
    if (!submitted) {
        state->complete(
            SerialError::io(std::nullopt, "could not start a blocking task: " + submitted.error().display()));
    }
    return BlockingJoin<R>(std::move(state));
}

}  // namespace quorvelin::runtime
