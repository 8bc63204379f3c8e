#pragma once
// AsyncMutex: an asynchronous FIFO mutex. Unlocking hands the lock directly to the oldest
// waiter, so a newcomer never overtakes a queued waiter. A waiter dropped while queued leaves
// the queue; one dropped after it was handed the lock but before it saw it passes the lock on.
// Guards are movable and may be released on any thread. Taking a free lock and releasing one
// that nobody waits for are single atomic steps; the queue and its mutex come in only when
// lockers meet.

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>

#include "runtime/intrusive_list.h"
#include "runtime/poll.h"

namespace quorvelin::runtime {

class AsyncMutex;

class [[nodiscard]] AsyncMutexGuard {
public:
    AsyncMutexGuard(AsyncMutexGuard&& other) noexcept : mutex_(std::exchange(other.mutex_, nullptr)) {}
    AsyncMutexGuard& operator=(AsyncMutexGuard&& other) noexcept;
    AsyncMutexGuard(const AsyncMutexGuard&) = delete;
    ~AsyncMutexGuard() { unlock(); }

    void unlock();

private:
    friend class AsyncMutex;
    friend class LockFuture;
    explicit AsyncMutexGuard(AsyncMutex& mutex) : mutex_(&mutex) {}
    AsyncMutex* mutex_;
};

// One queued lock request; on the heap so the LockFuture stays movable while queued.
struct LockWaiter : ListHook {
    Waker waker;
    bool granted = false;
};

class [[nodiscard]] LockFuture {
public:
    LockFuture(LockFuture&& other) noexcept;
    LockFuture& operator=(LockFuture&&) = delete;
    LockFuture(const LockFuture&) = delete;
    ~LockFuture();

    Poll<AsyncMutexGuard> poll(Context& cx);

private:
    friend class AsyncMutex;
    enum class State { Init, Queued, Done };
    explicit LockFuture(AsyncMutex& mutex);

    AsyncMutex* mutex_;
    std::unique_ptr<LockWaiter> node_;
    State state_ = State::Init;
};

class AsyncMutex {
public:
    AsyncMutex() = default;
    AsyncMutex(const AsyncMutex&) = delete;
    AsyncMutex& operator=(const AsyncMutex&) = delete;

    LockFuture lock() { return LockFuture(*this); }
    // The lock when it is free, in one atomic step; nothing (and no queueing) when it is not.
    std::optional<AsyncMutexGuard> try_lock();
    bool is_locked() const;

private:
    friend class AsyncMutexGuard;
    friend class LockFuture;
    void unlock();

    // Free: nobody holds it. Locked: held, nobody queued. Contended: held, and the queue may
    // hold waiters, so the release goes through the queue.
    enum : int { Free, Locked, Contended };
    std::atomic<int> state_{Free};
    std::mutex mutex_;  // guards the queue, and the moves to and from Contended
    IntrusiveList<LockWaiter> queue_;
};

}  // namespace quorvelin::runtime
