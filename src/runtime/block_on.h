#pragma once
// block_on: drives a pollable to completion on the calling thread, waiting between polls.
//
// The thread waits by itself (ThreadWaiter): for the descriptors and timers its leaves record
// in the poll's DirectWait and for its waker, so a wait costs the reactor nothing. Should the
// thread have no waiter, it parks on a condition variable and the leaves use the runtime.
//
// The pollable is polled in place, so an operation that is still pending when the deadline
// passes can afterwards be spawned as the same object; its leaves take the task's waker and
// register with the runtime at the next poll. When the calling thread is a runtime worker, it
// counts as occupied until block_on returns, so a blocking-pool thread drives its io_context
// in its stead (timers, readiness, tasks) while this one blocks.

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>

#include "runtime/clock.h"
#include "runtime/context_drivers.h"
#include "runtime/direct_wait.h"
#include "runtime/poll.h"
#include "runtime/sleep.h"
#include "runtime/thread_waiter.h"

namespace quorvelin::runtime {

// A waker target that wakes one parked thread; a wake-up before the park is kept.
class Parker final : public WakeTarget {
public:
    void wake() override;
    // Returns false when the deadline passed without a wake-up.
    bool park_until(std::optional<Instant> deadline);

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool notified_ = false;
};

// While alive on a runtime worker, the worker blocks: a stand-in drives its io_context
// unless another driver of it is free. A no-op on other threads.
class WorkerHandOff {
public:
    WorkerHandOff() : blocking_(Occupied::Blocks::Surely) {}

private:
    Occupied blocking_;
};

namespace detail {

template <Pollable P>
std::optional<poll_output_t<P>> block_on_parked(P& pollable, std::optional<Instant> deadline) {
    auto parker = std::make_shared<Parker>();
    Waker waker(parker);
    Context cx(waker);
    std::optional<WorkerHandOff> hand_off;
    for (;;) {
        auto result = pollable.poll(cx);
        if (result.is_ready()) {
            return result.take();
        }
        if (!hand_off) {
            hand_off.emplace();
        }
        if (!parker->park_until(deadline)) {
            auto last = pollable.poll(cx);
            if (last.is_ready()) {
                return last.take();
            }
            return std::nullopt;
        }
    }
}

}  // namespace detail

// The pollable's output once it finished, or nothing when the deadline passed first (a
// result that is ready at the deadline still counts).
template <Pollable P>
std::optional<poll_output_t<P>> block_on(P& pollable, std::optional<Instant> deadline = std::nullopt) {
    ThreadWaiter::Mine mine = ThreadWaiter::current();
    if (mine.waiter == nullptr) {
        return detail::block_on_parked(pollable, deadline);
    }
    ThreadWaiter* waiter = mine.waiter;
    DirectWait direct;
    Context cx(*mine.waker, &direct);
    std::optional<WorkerHandOff> hand_off;
    for (;;) {
        direct.clear();
        auto result = pollable.poll(cx);
        if (result.is_ready()) {
            return result.take();
        }
        if (!hand_off) {
            hand_off.emplace();
        }
        waiter->wait(direct, deadline);
        if (deadline && Clock::now() >= *deadline) {
            direct.clear();
            auto last = pollable.poll(cx);
            if (last.is_ready()) {
                return last.take();
            }
            return std::nullopt;
        }
    }
}

}  // namespace quorvelin::runtime
