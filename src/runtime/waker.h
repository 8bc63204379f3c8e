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

// What one poll is given.
class Context {
public:
    explicit Context(const Waker& waker) : waker_(waker) {}
    // The context refers to the waker; a temporary would dangle.
    explicit Context(Waker&&) = delete;
    const Waker& waker() const { return waker_; }

private:
    const Waker& waker_;
};

}  // namespace quorvelin::runtime
