#pragma once
// ReactorWake: marks the wake-ups made by a reactor completion handler (descriptor readiness,
// an expired timer) on a runtime worker. A task of the runtime woken there runs on that same
// worker as soon as the handler's wake-ups are made (when the outermost guard goes), instead
// of being queued: no other worker is woken to run it, and this one does not pass through the
// scheduler's queue and the reactor (an extra epoll_wait) first. Those handlers only record
// the readiness and wake, holding no lock at the guard's end, so running the task there is as
// if it had been queued first in line.

#include <memory>
#include <vector>

namespace quorvelin::runtime {

// What a guard runs at its end.
class ReactorContinuation {
public:
    virtual ~ReactorContinuation() = default;
    virtual void run_continuation() = 0;
};

class ReactorWake {
public:
    ReactorWake() : previous_(active_) { active_ = true; }
    // The outermost guard runs the continuations queued under it, in order.
    ~ReactorWake();
    ReactorWake(const ReactorWake&) = delete;
    ReactorWake& operator=(const ReactorWake&) = delete;

    // Whether the calling thread is inside such a handler's wake-up.
    static bool active() { return active_; }
    // Runs `continuation` when the outermost guard of this thread ends; only while active().
    static void run_after(std::shared_ptr<ReactorContinuation> continuation);

private:
    static inline thread_local bool active_ = false;
    bool previous_;
};

}  // namespace quorvelin::runtime
