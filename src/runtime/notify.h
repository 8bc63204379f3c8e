#pragma once
// Notify: a notifier whose notify_waiters() wakes only the waiters registered at that moment
// (storing nothing), and whose notify_one() wakes the oldest registered waiter or, when none
// is registered, stores one wake-up (at most one) for the next waiter.
//
// A waiter that received a notify_one() and is dropped before it consumed it passes the
// wake-up on (to the next waiter, or back into the store), so a cancel request made in the
// window between the wake-up and the waiter's next poll is never lost.

#include <atomic>
#include <memory>
#include <mutex>

#include "errors/result.h"
#include "runtime/fork_guard.h"
#include "runtime/intrusive_list.h"
#include "runtime/poll.h"

namespace quorvelin::runtime {

class Notified;

class Notify {
public:
    Notify() = default;
    Notify(const Notify&) = delete;
    Notify& operator=(const Notify&) = delete;

    void notify_waiters();
    void notify_one();
    // A waiter; it registers at its first poll, or earlier through Notified::enable().
    Notified notified();

    // Whether a notify_one() waits for the next waiter.
    bool has_stored_wakeup() const;

private:
    friend class Notified;
    enum class Received { Nothing, One, All };
    struct Node : ListHook {
        Waker waker;
        Received received = Received::Nothing;
    };

    // Gives one wake-up to the oldest waiter or stores it; returns the waker to signal.
    Waker pass_one_locked();

    mutable std::mutex mutex_;
    // A forked child still closes ports, which notifies.
    ForkLock fork_lock_{mutex_, ForkLockLevel::Leaf};
    IntrusiveList<Node> waiters_;
    // Changed only under the mutex; read without it by has_stored_wakeup().
    std::atomic<bool> stored_{false};
};

class [[nodiscard]] Notified {
public:
    Notified(Notified&& other) noexcept;
    Notified& operator=(Notified&&) = delete;
    Notified(const Notified&) = delete;
    ~Notified();

    // Registers now, so that a notify_waiters() from this moment on wakes this waiter.
    void enable();
    Poll<Unit> poll(Context& cx);

private:
    friend class Notify;
    enum class State { Init, Waiting, Done };
    explicit Notified(Notify& notify);

    Notify* notify_;
    // On the heap so the handle stays movable while the node is linked; made when the
    // waiter first registers.
    std::unique_ptr<Notify::Node> node_;
    State state_ = State::Init;
};

}  // namespace quorvelin::runtime
