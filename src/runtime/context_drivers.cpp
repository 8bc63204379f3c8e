#include "runtime/context_drivers.h"

#include <asio/bind_allocator.hpp>

#include <atomic>
#include <exception>

#include "runtime/blocking_pool.h"
#include "runtime/runtime.h"

namespace quorvelin::runtime {
namespace {

// A stand-in drives its context in slices of this length, checking in between whether a
// driver is free again.
constexpr auto STAND_IN_SLICE = std::chrono::milliseconds(10);

std::atomic<std::uint64_t> stand_ins{0};

// Whether the calling thread is inside an occupied section already.
thread_local bool thread_occupied = false;

}  // namespace

ContextDrivers::ContextDrivers(Runtime& runtime, asio::io_context& driven, asio::io_context& watcher,
                               BlockingPool& pool)
    : runtime_(runtime), driven_(driven), pool_(pool), watch_(watcher) {}

std::uint64_t ContextDrivers::stand_ins_started() { return stand_ins.load(std::memory_order_relaxed); }

int ContextDrivers::driver_count() {
    std::lock_guard lock(mutex_);
    return drivers_;
}

void ContextDrivers::begin_occupied(bool blocks) {
    bool start = false;
    {
        std::lock_guard lock(mutex_);
        ++occupied_;
        if (occupied_ >= drivers_) {
            if (blocks) {
                add_stand_in_locked();
                start = true;
            } else {
                if (!all_busy_since_) {
                    all_busy_since_ = Clock::now();
                }
                if (!watch_armed_) {
                    arm_watch_locked(*all_busy_since_ + stand_in_after);
                }
            }
        }
    }
    if (start) {
        start_stand_in();
    }
}

void ContextDrivers::blocks_now() {
    bool start = false;
    {
        std::lock_guard lock(mutex_);
        if (occupied_ >= drivers_) {
            add_stand_in_locked();
            start = true;
        }
    }
    if (start) {
        start_stand_in();
    }
}

void ContextDrivers::end_occupied() {
    std::lock_guard lock(mutex_);
    --occupied_;
    if (occupied_ < drivers_) {
        all_busy_since_.reset();
    }
}

void ContextDrivers::add_stand_in_locked() {
    ++drivers_;
    all_busy_since_.reset();
}

void ContextDrivers::arm_watch_locked(Instant at) {
    try {
        watch_.expires_at(at);
        watch_.async_wait(asio::bind_allocator(SlotAllocator<void>(watch_slot_),
                                               [this](const std::error_code& error) { watch_fired(error); }));
        watch_armed_ = true;
    } catch (const std::exception&) {
        // No watch this time; the next section that finds every driver occupied tries again.
    }
}

void ContextDrivers::watch_fired(const std::error_code& error) {
    bool start = false;
    {
        std::lock_guard lock(mutex_);
        watch_armed_ = false;
        if (error == asio::error::operation_aborted || !all_busy_since_) {
            return;  // a driver was free meanwhile: the next all-occupied section arms it again
        }
        const Instant due = *all_busy_since_ + stand_in_after;
        if (Clock::now() < due) {
            arm_watch_locked(due);  // the drivers became all occupied again after an earlier arm
            return;
        }
        add_stand_in_locked();
        start = true;
    }
    if (start) {
        start_stand_in();
    }
}

void ContextDrivers::start_stand_in() {
    Status submitted = ok_status();
    try {
        submitted = pool_.submit([this] { run_stand_in(); });
    } catch (const std::exception&) {
        submitted = SerialError::out_of_memory();
    }
    if (submitted) {
        stand_ins.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    // No pool thread: the drivers stay as they were, and the watch tries again a period on.
    std::lock_guard lock(mutex_);
    --drivers_;
    if (occupied_ >= drivers_) {
        all_busy_since_ = Clock::now();
        if (!watch_armed_) {
            arm_watch_locked(*all_busy_since_ + stand_in_after);
        }
    }
}

void ContextDrivers::run_stand_in() {
    Runtime::DrivingScope scope(&runtime_, &driven_);
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            // This one is not occupied between slices: another free driver makes it spare.
            if (occupied_ < drivers_ - 1) {
                --drivers_;
                return;
            }
        }
        try {
            driven_.run_one_for(STAND_IN_SLICE);
        } catch (...) {
            // Handlers of this runtime do not throw; should one do so, the stand-in goes on.
        }
    }
}

Occupied::Occupied(Blocks blocks) {
    ContextDrivers* drivers = Runtime::current_drivers();
    if (drivers == nullptr || !drivers->made_in_this_process()) {
        return;
    }
    if (thread_occupied) {
        if (blocks == Blocks::Surely) {
            drivers->blocks_now();
        }
        return;
    }
    thread_occupied = true;
    drivers_ = drivers;
    drivers->begin_occupied(blocks == Blocks::Surely);
}

Occupied::~Occupied() {
    if (drivers_ == nullptr) {
        return;
    }
    thread_occupied = false;
    // In a child forked meanwhile the counts are the parent's, and its lock may be held by a
    // thread the child lacks.
    if (drivers_->made_in_this_process()) {
        drivers_->end_occupied();
    }
}

}  // namespace quorvelin::runtime
