#pragma once
// sleep_until and timeout: timer leaves on the runtime's io_context. Dropping a Sleep cancels
// its timer wait. A sleep is ready once the clock has reached its deadline. Polled by a
// thread that waits by itself (a DirectWait in the context), a sleep only records its
// deadline there and arms no timer; its timer state is made only when a timer is armed.

#include <asio/steady_timer.hpp>

#include <chrono>
#include <memory>
#include <optional>

#include "errors/result.h"
#include "runtime/clock.h"
#include "runtime/poll.h"

namespace quorvelin::runtime {

class [[nodiscard]] Sleep {
public:
    // Uses the process-wide runtime's timers; `io` selects another io_context.
    explicit Sleep(Instant deadline, asio::io_context* io = nullptr);
    Sleep(Sleep&&) noexcept;
    Sleep& operator=(Sleep&&) noexcept;
    ~Sleep();

    Poll<Unit> poll(Context& cx);
    Instant deadline() const { return deadline_; }

private:
    struct Shared;
    Instant deadline_;
    asio::io_context* io_;
    std::shared_ptr<Shared> shared_;
    std::unique_ptr<asio::steady_timer> timer_;
};

inline Sleep sleep_until(Instant deadline) { return Sleep(deadline); }

// Polls `inner` first, so a result that is ready at the deadline still counts; yields
// nothing once the deadline passed.
template <Pollable P>
class Timeout {
public:
    Timeout(Instant deadline, P inner) : inner_(std::move(inner)), sleep_(deadline) {}

    Poll<std::optional<poll_output_t<P>>> poll(Context& cx) {
        auto result = inner_.poll(cx);
        if (result.is_ready()) {
            return std::optional<poll_output_t<P>>(result.take());
        }
        if (sleep_.poll(cx).is_ready()) {
            return std::optional<poll_output_t<P>>();
        }
        return pending;
    }

private:
    P inner_;
    Sleep sleep_;
};

template <class P>
Timeout<std::decay_t<P>> timeout(Instant deadline, P&& inner) {
    return Timeout<std::decay_t<P>>(deadline, std::forward<P>(inner));
}

}  // namespace quorvelin::runtime
