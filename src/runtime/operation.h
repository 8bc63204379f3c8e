#pragma once
// Operation<T>: a lazily started C++20 coroutine that is advanced by polling.
//
// A poll hands the coroutine a Context; every `co_await` of a pollable polls that leaf with
// the same Context, so each leaf stores the newest waker at every poll. A pending leaf
// suspends the coroutine; the next poll of the operation re-polls that leaf first and
// resumes the body only once it is ready. The operation therefore has no thread affinity:
// it can be polled inline with a do-nothing waker and then continue, as the same object,
// on a runtime worker. Destroying it destroys the frame, which runs the destructors of the
// live locals in reverse order (its guards). An exception escaping the body becomes the
// operation's error (see fault_error).

#include <coroutine>
#include <exception>
#include <new>
#include <optional>
#include <stdexcept>
#include <utility>

#include "errors/result.h"
#include "runtime/poll.h"

namespace quorvelin::runtime {

inline SerialError operation_panicked() { return SerialError::io(std::nullopt, "the operation panicked"); }

// The error that the exception being handled stands for: SerialError::OutOfMemory for an
// allocation failure (std::bad_alloc, or std::length_error for a size beyond a container's
// reach), otherwise SerialError::Io with the text `panicked`; and out of memory again when
// even that text cannot be allocated. Never throws; call it inside a catch block.
inline SerialError fault_error(const char* panicked = "the operation panicked") noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return SerialError::out_of_memory();
    } catch (const std::length_error&) {
        return SerialError::out_of_memory();
    } catch (...) {
    }
    try {
        return SerialError::io(std::nullopt, panicked);
    } catch (...) {
        return SerialError::out_of_memory();
    }
}

namespace detail {

// The part of the promise that leaf awaiters talk to, independent of T.
struct PromiseBase {
    Context* cx = nullptr;
    // The leaf the body is suspended on; re-polled before the body is resumed.
    bool (*repoll)(void* awaiter, Context& cx) = nullptr;
    void* awaiter = nullptr;
};

template <Pollable P>
class LeafAwaiter {
public:
    LeafAwaiter(P& leaf, PromiseBase& promise) : leaf_(leaf), promise_(promise) {}

    bool await_ready() { return try_poll(*promise_.cx); }
    void await_suspend(std::coroutine_handle<>) {
        promise_.repoll = &LeafAwaiter::repoll;
        promise_.awaiter = this;
    }
    poll_output_t<P> await_resume() {
        if (failure_) {
            std::rethrow_exception(failure_);
        }
        return std::move(*output_);
    }

private:
    // A throwing leaf counts as ready; the exception is rethrown inside the body so that
    // the locals unwind and the promise records the panic.
    bool try_poll(Context& cx) {
        try {
            auto result = leaf_.poll(cx);
            if (result.is_pending()) {
                return false;
            }
            output_.emplace(result.take());
        } catch (...) {
            failure_ = std::current_exception();
        }
        return true;
    }
    static bool repoll(void* self, Context& cx) { return static_cast<LeafAwaiter*>(self)->try_poll(cx); }

    P& leaf_;
    PromiseBase& promise_;
    std::optional<poll_output_t<P>> output_;
    std::exception_ptr failure_;
};

}  // namespace detail

template <class T>
class [[nodiscard]] Operation {
public:
    using value_type = T;

    struct promise_type : detail::PromiseBase {
        std::optional<Result<T>> result;

        Operation get_return_object() { return Operation(std::coroutine_handle<promise_type>::from_promise(*this)); }
        // Lazy: nothing runs before the first poll.
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_always final_suspend() noexcept { return {}; }
        template <class U>
        void return_value(U&& value) {
            result.emplace(std::forward<U>(value));
        }
        void unhandled_exception() noexcept { result.emplace(fault_error()); }

        template <class P>
            requires Pollable<std::remove_reference_t<P>>
        auto await_transform(P&& leaf) {
            return detail::LeafAwaiter<std::remove_reference_t<P>>(leaf, *this);
        }
    };

    Operation() = default;
    Operation(Operation&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
    Operation& operator=(Operation&& other) noexcept {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, {});
        }
        return *this;
    }
    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;
    ~Operation() { reset(); }

    bool valid() const { return static_cast<bool>(handle_); }
    bool done() const { return handle_ && handle_.done(); }

    // Destroys the frame now (its guards run on this thread).
    void reset() {
        if (handle_) {
            std::exchange(handle_, {}).destroy();
        }
    }

    Poll<Result<T>> poll(Context& cx) {
        if (!handle_) {
            return Result<T>(SerialError::io(std::nullopt, "polled an empty operation"));
        }
        auto& promise = handle_.promise();
        if (!handle_.done()) {
            promise.cx = &cx;
            if (promise.repoll) {
                if (!promise.repoll(promise.awaiter, cx)) {
                    return pending;
                }
                promise.repoll = nullptr;
                promise.awaiter = nullptr;
            }
            handle_.resume();
            if (!handle_.done()) {
                return pending;
            }
        }
        if (!promise.result) {
            return Result<T>(SerialError::io(std::nullopt, "polled an operation after it finished"));
        }
        Result<T> result = std::move(*promise.result);
        promise.result.reset();
        return result;
    }

private:
    explicit Operation(std::coroutine_handle<promise_type> handle) : handle_(handle) {}

    std::coroutine_handle<promise_type> handle_;
};

}  // namespace quorvelin::runtime
