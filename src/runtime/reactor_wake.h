#pragma once
// ReactorWake: marks the wake-ups made by a reactor completion handler (descriptor readiness,
// an expired timer) on a runtime worker. A task woken there is queued as a continuation of
// that handler: the same worker runs it as soon as the handler returns, instead of the
// scheduler waking the other worker (or interrupting its epoll wait) to run it there. Those
// handlers only record the readiness and wake; they never block, so the task is not held up.

namespace quorvelin::runtime {

class ReactorWake {
public:
    ReactorWake() : previous_(active_) { active_ = true; }
    ~ReactorWake() { active_ = previous_; }
    ReactorWake(const ReactorWake&) = delete;
    ReactorWake& operator=(const ReactorWake&) = delete;

    // Whether the calling thread is inside such a handler's wake-up.
    static bool active() { return active_; }

private:
    static inline thread_local bool active_ = false;
    bool previous_;
};

}  // namespace quorvelin::runtime
