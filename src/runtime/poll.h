#pragma once
// Poll<T>, the Pollable concept and poll_fn: the leaf protocol of every asynchronous step.

#include <concepts>
#include <optional>
#include <type_traits>
#include <utility>

#include "runtime/waker.h"

namespace quorvelin::runtime {

struct Pending {};
inline constexpr Pending pending{};

// Either ready with a value or pending (after arranging for the context's waker).
template <class T>
class [[nodiscard]] Poll {
public:
    using value_type = T;

    Poll(Pending) {}
    Poll(T value) : value_(std::move(value)) {}

    bool is_ready() const { return value_.has_value(); }
    bool is_pending() const { return !value_.has_value(); }
    T& value() { return *value_; }
    T take() { return std::move(*value_); }

private:
    std::optional<T> value_;
};

template <class T>
struct is_poll : std::false_type {};
template <class T>
struct is_poll<Poll<T>> : std::true_type {};

// Anything with `Poll<T> poll(Context&)`.
template <class P>
concept Pollable = requires(P& p, Context& cx) {
    { p.poll(cx) };
    requires is_poll<decltype(p.poll(cx))>::value;
};

template <Pollable P>
using poll_output_t = typename decltype(std::declval<P&>().poll(std::declval<Context&>()))::value_type;

// A pollable made from a `Poll<T>(Context&)` callable.
template <class F>
class PollFn {
public:
    explicit PollFn(F f) : f_(std::move(f)) {}
    auto poll(Context& cx) { return f_(cx); }

private:
    F f_;
};

template <class F>
PollFn<std::decay_t<F>> poll_fn(F&& f) {
    return PollFn<std::decay_t<F>>(std::forward<F>(f));
}

// Polls a pollable owned elsewhere, so it can be raced by select without being moved.
template <Pollable P>
class PollRef {
public:
    explicit PollRef(P& target) : target_(&target) {}
    auto poll(Context& cx) { return target_->poll(cx); }

private:
    P* target_;
};

template <Pollable P>
PollRef<P> by_ref(P& target) {
    return PollRef<P>(target);
}

}  // namespace quorvelin::runtime
