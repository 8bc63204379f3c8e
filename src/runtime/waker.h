#pragma once
// Waker and Context: how a pending leaf asks to be polled again.

#include <cstdint>
#include <memory>

#include "runtime/fork_generation.h"

namespace quorvelin::runtime {

// What a waker signals: a task, a parked thread, or a test probe.
class WakeTarget {
public:
    virtual ~WakeTarget() = default;
    // Called any number of times, from any thread; must never run an operation inline.
    virtual void wake() = 0;

    // False in a child created by fork() after this target was made: the task or thread it
    // stands for does not exist there.
    bool made_in_this_process() const { return fork_generation_ == fork_generation(); }

private:
    std::uint32_t fork_generation_ = fork_generation();
};

// A cheap, copyable, thread-safe handle. A default-constructed waker does nothing, which
// is what the first inline poll of an operation uses.
class Waker {
public:
    Waker() = default;
    explicit Waker(std::shared_ptr<WakeTarget> target) : target_(std::move(target)) {}

    static Waker noop() { return Waker(); }

    // Does nothing for a target that a forked child inherited from its parent.
    void wake() const {
        if (target_ && target_->made_in_this_process()) {
            target_->wake();
        }
    }
    bool is_noop() const { return target_ == nullptr; }
    // True when both wake the same target, so a leaf may skip replacing its stored copy.
    bool will_wake(const Waker& other) const { return target_ == other.target_; }

private:
    std::shared_ptr<WakeTarget> target_;
};

class DirectWait;

// What one poll is given: the waker, and, when the polling thread waits for the operation
// itself (the blocking driver's inline attempt), that thread's DirectWait. Leaves that can
// be waited for without the reactor (descriptor readiness, timers) record themselves there
// instead of registering with the runtime; every other leaf stores the waker as usual.
class Context {
public:
    explicit Context(const Waker& waker, DirectWait* direct = nullptr) : waker_(waker), direct_(direct) {}
    // The context refers to the waker; a temporary would dangle.
    explicit Context(Waker&&, DirectWait* = nullptr) = delete;
    const Waker& waker() const { return waker_; }
    // Null on runtime tasks and for a single poll with a do-nothing waker.
    DirectWait* direct_wait() const { return direct_; }

private:
    const Waker& waker_;
    DirectWait* direct_;
};

}  // namespace quorvelin::runtime
