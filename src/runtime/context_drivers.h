#pragma once
// ContextDrivers: the threads that drive one io_context of the runtime (its worker and any
// stand-ins), and the rule that keeps one of them free for the context's own work.
//
// A worker is occupied while it runs code that may take any time: Python (a done-callback, a
// loop's call_soon_threadsafe, a destructor run by a decref: every attach of a runtime thread)
// or a blocking section (a blocking call made on the worker, Future.wait()). An occupied
// worker cannot return to its context, so the context's readiness, timers and tasks would
// wait for it: one slow done-callback on the reactor worker would freeze every port.
//
// So when every driver of a context is occupied, a blocking-pool thread joins as a stand-in
// and drives the context until a driver is free again:
//   - at once, for a section that is known to block (Occupied::Blocks::Surely);
//   - otherwise once all of them have been occupied for `stand_in_after`, as told by a timer
//     on the other context (the "watch"). Almost every Python section of a worker is a few
//     microseconds long (handing a result to a loop), and a hand-off per completion would
//     cost a wake-up of another thread each time; the watch costs nothing per section, only
//     a timer armed by a section that finds none armed, at most once per period.
// The watch fires only while the other context has a free driver itself: with both workers
// occupied at once (and no stand-in yet), the runtime waits for one of them.
//
// State (under `mutex_`):
//   drivers_          threads driving the context: the worker, plus stand-ins requested or
//                     running; a stand-in is counted from its request on, so one period of
//                     all-occupied asks for one stand-in, not one per look
//   occupied_         of them, how many are occupied
//   all_busy_since_   since when occupied_ has reached drivers_; absent while one is free
//   watch_armed_      the watch timer has a wait queued
// Threads: begin/end on the thread that is occupied (a driver of this context); the watch's
// handler on a driver of the other context; a stand-in's loop on its pool thread. None of
// them holds `mutex_` while it waits or runs a handler, and no Python is ever called.

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>

#include "runtime/clock.h"
#include "runtime/fork_generation.h"
#include "runtime/handler_slot.h"
#include "runtime/occupied.h"

namespace quorvelin::runtime {

class BlockingPool;
class Runtime;

class ContextDrivers {
public:
    // How long every driver may be occupied before a stand-in comes.
    static constexpr std::chrono::milliseconds stand_in_after{5};

    // `driven` is the context these threads drive, `watcher` the one whose driver runs the
    // watch; its single worker counts as the first driver.
    ContextDrivers(Runtime& runtime, asio::io_context& driven, asio::io_context& watcher, BlockingPool& pool);
    ContextDrivers(const ContextDrivers&) = delete;
    ContextDrivers& operator=(const ContextDrivers&) = delete;

    // False in a child created by fork(): the threads these counts are about are the parent's.
    bool made_in_this_process() const { return fork_generation_ == fork_generation(); }

    // An occupied section of a driver of this context begins or ends (see Occupied).
    void begin_occupied(bool blocks);
    // A section that began as a maybe turns out to block for sure.
    void blocks_now();
    void end_occupied();

    // Stand-ins started since the process began, for every context (for tests and benches).
    static std::uint64_t stand_ins_started();
    // Threads driving the context now, stand-ins included (for tests).
    int driver_count();

private:
    // Counts a stand-in in, once every driver is occupied; the caller starts it after the lock.
    void add_stand_in_locked();
    void arm_watch_locked(Instant at);
    void watch_fired(const std::error_code& error);
    void start_stand_in();
    void run_stand_in();

    Runtime& runtime_;
    const std::uint32_t fork_generation_ = fork_generation();
    asio::io_context& driven_;
    BlockingPool& pool_;
    std::mutex mutex_;
    int drivers_ = 1;
    int occupied_ = 0;
    std::optional<Instant> all_busy_since_;
    bool watch_armed_ = false;
    asio::steady_timer watch_;
    HandlerSlot watch_slot_;  // the watch's one queued wait: arming it allocates nothing
};

}  // namespace quorvelin::runtime
