#pragma once
// select(a, b): races two pollables, polling them in a random order at every poll, and
// yields which one finished first with its value. The loser is dropped as soon as the race
// is decided, or together with the select when the select itself is dropped.

#include <optional>
#include <utility>
#include <variant>

#include "runtime/poll.h"
#include "runtime/random_order.h"

namespace quorvelin::runtime {

// index() 0: the first pollable won; 1: the second.
template <class A, class B>
using Selected = std::variant<A, B>;

template <Pollable PA, Pollable PB>
class Select {
public:
    using Output = Selected<poll_output_t<PA>, poll_output_t<PB>>;

    Select(PA a, PB b) : a_(std::move(a)), b_(std::move(b)) {}

    Poll<Output> poll(Context& cx) {
        if (random_coin()) {
            if (auto won = try_first(cx)) return std::move(*won);
            if (auto won = try_second(cx)) return std::move(*won);
        } else {
            if (auto won = try_second(cx)) return std::move(*won);
            if (auto won = try_first(cx)) return std::move(*won);
        }
        return pending;
    }

private:
    std::optional<Output> try_first(Context& cx) {
        auto result = a_->poll(cx);
        if (result.is_pending()) return std::nullopt;
        b_.reset();
        return Output(std::in_place_index<0>, result.take());
    }
    std::optional<Output> try_second(Context& cx) {
        auto result = b_->poll(cx);
        if (result.is_pending()) return std::nullopt;
        a_.reset();
        return Output(std::in_place_index<1>, result.take());
    }

    std::optional<PA> a_;
    std::optional<PB> b_;
};

template <class A, class B>
Select<std::decay_t<A>, std::decay_t<B>> select(A&& a, B&& b) {
    return Select<std::decay_t<A>, std::decay_t<B>>(std::forward<A>(a), std::forward<B>(b));
}

}  // namespace quorvelin::runtime
