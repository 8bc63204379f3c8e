#pragma once
// ThreadWaiter: how a thread waits for an operation that it polls itself (the blocking
// driver's inline attempt, block_on). One per thread, made on first use: an eventfd that the
// thread's waker signals, waited for with ppoll(2) together with the descriptors and the
// deadline of a DirectWait. A wake-up that comes while the thread is not waiting stays in the
// eventfd and ends the next wait at once; a late wake-up of an earlier operation only costs
// one extra poll.

#include <atomic>
#include <optional>

#include "runtime/clock.h"
#include "runtime/direct_wait.h"
#include "runtime/waker.h"

namespace quorvelin::runtime {

class ThreadWaiter final : public WakeTarget {
public:
    explicit ThreadWaiter(int event_fd) : event_fd_(event_fd) {}
    ~ThreadWaiter() override;
    ThreadWaiter(const ThreadWaiter&) = delete;
    ThreadWaiter& operator=(const ThreadWaiter&) = delete;

    // This thread's waiter and the waker that ends its waits (valid while the thread
    // lives); a null waiter when no eventfd could be made (the caller then parks on a
    // condition variable instead).
    struct Mine {
        ThreadWaiter* waiter;
        const Waker* waker;
    };
    static Mine current();

    void wake() override;

    // Sleeps until a watched descriptor is ready, the waker was signalled, or the earliest of
    // the record's deadline and `deadline` arrives (or a signal interrupts). Tells the sinks
    // of the descriptors it saw ready. Returns at once when that deadline has passed.
    void wait(DirectWait& wait, std::optional<Instant> deadline);

private:
    const int event_fd_;
    // Set by the first wake-up after a wait; spares the write for the wake-ups after it.
    std::atomic<bool> signalled_{false};
};

}  // namespace quorvelin::runtime
