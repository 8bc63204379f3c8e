#pragma once
// ReadPeriod: one timer for the periods of a transport's successive reads. Each read waits
// for data at most READ_PERIOD from its first poll, one read runs at a time, and nearly every
// read ends long before its period: a timer armed and cancelled per read (a timer-queue
// change on arming, and a worker woken to run the cancelled wait) cost more than the read.
// Here the timer stays armed across reads: when it fires before the end of the period that
// is waited on now, it is armed again for that end; a read that ends only withdraws its wait.
// An idle transport thus still sees its read end once per period, and a busy one costs one
// timer expiry per period rather than two timer changes per read.

#include <asio/steady_timer.hpp>

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "errors/result.h"
#include "runtime/clock.h"
#include "runtime/poll.h"

namespace quorvelin::transport {

class ReadPeriod : public std::enable_shared_from_this<ReadPeriod> {
public:
    // The timer runs on `io` (the process-wide runtime's, for the transport).
    static std::shared_ptr<ReadPeriod> make(asio::io_context& io);

    // A leaf that is ready once `deadline` has passed; dropping it withdraws its wait.
    class Wait {
    public:
        Wait(std::shared_ptr<ReadPeriod> period, runtime::Instant deadline);
        Wait(Wait&& other) noexcept;
        Wait& operator=(Wait&&) = delete;
        ~Wait();
        runtime::Poll<Unit> poll(runtime::Context& cx);

    private:
        std::shared_ptr<ReadPeriod> period_;
        runtime::Instant deadline_;
        std::uint64_t id_;
    };

    Wait wait_until(runtime::Instant deadline) { return Wait(shared_from_this(), deadline); }

    // Number of waits registered now (for tests).
    std::size_t waiting();

private:
    explicit ReadPeriod(asio::io_context& io) : timer_(io) {}
    struct Waiter {
        std::uint64_t id;
        runtime::Instant deadline;
        runtime::Waker waker;
    };
    // Called with mutex_ held.
    void arm_locked(runtime::Instant deadline);
    // The timer's handler, and a dropped wait; each takes mutex_ itself.
    void fired(std::uint64_t generation);
    void withdraw(std::uint64_t id);

    std::mutex mutex_;
    asio::steady_timer timer_;  // every call on it is made under mutex_
    std::vector<Waiter> waiters_;
    std::uint64_t next_id_ = 1;
    bool armed_ = false;
    runtime::Instant armed_for_{};
    // Tells a wait that was replaced (its handler sees operation_aborted anyway) from the
    // current one.
    std::uint64_t generation_ = 0;
};

}  // namespace quorvelin::transport
