#include "transport/read_period.h"

#include <algorithm>
#include <new>
#include <optional>
#include <utility>

#include "runtime/direct_wait.h"
#include "runtime/reactor_wake.h"

namespace quorvelin::transport {

using runtime::Clock;
using runtime::Instant;

std::shared_ptr<ReadPeriod> ReadPeriod::make(asio::io_context& io) {
    return std::shared_ptr<ReadPeriod>(new ReadPeriod(io));
}

std::size_t ReadPeriod::waiting() {
    std::lock_guard lock(mutex_);
    return waiters_.size();
}

void ReadPeriod::arm_locked(Instant deadline) {
    armed_ = true;
    armed_for_ = deadline;
    const std::uint64_t generation = ++generation_;
    // Replacing the expiry cancels a wait still queued; its handler finds another generation.
    timer_.expires_at(deadline);
    // The handler holds the period: an armed timer outlives the transport by at most a period.
    timer_.async_wait([self = shared_from_this(), generation](const asio::error_code&) { self->fired(generation); });
}

void ReadPeriod::fired(std::uint64_t generation) {
    std::vector<runtime::Waker> due;
    {
        std::lock_guard lock(mutex_);
        if (generation != generation_) {
            return;  // replaced by a later arming
        }
        armed_ = false;
        const Instant now = Clock::now();
        std::optional<Instant> next;
        bool collect = true;
        try {
            due.reserve(waiters_.size());
        } catch (const std::bad_alloc&) {
            collect = false;  // a timer handler cannot fail: the due ones are woken right here
        }
        for (auto it = waiters_.begin(); it != waiters_.end();) {
            if (it->deadline <= now) {
                if (collect) {
                    due.push_back(std::move(it->waker));
                } else {
                    it->waker.wake();  // only queues a task; nothing comes back to this lock
                }
                it = waiters_.erase(it);
            } else {
                next = next ? std::min(*next, it->deadline) : it->deadline;
                ++it;
            }
        }
        if (next) {
            arm_locked(*next);
        }
    }
    runtime::ReactorWake continuation;
    for (const runtime::Waker& waker : due) {
        waker.wake();
    }
}

void ReadPeriod::withdraw(std::uint64_t id) {
    runtime::Waker dropped;  // released after the unlock
    std::lock_guard lock(mutex_);
    auto it = std::find_if(waiters_.begin(), waiters_.end(), [id](const Waiter& w) { return w.id == id; });
    if (it != waiters_.end()) {
        dropped = std::move(it->waker);
        waiters_.erase(it);
    }
}

ReadPeriod::Wait::Wait(std::shared_ptr<ReadPeriod> period, Instant deadline)
    : period_(std::move(period)), deadline_(deadline), id_(0) {}

ReadPeriod::Wait::Wait(Wait&& other) noexcept
    : period_(std::move(other.period_)), deadline_(other.deadline_), id_(std::exchange(other.id_, 0)) {}

ReadPeriod::Wait::~Wait() {
    if (period_ && id_ != 0) {
        period_->withdraw(id_);
    }
}

runtime::Poll<Unit> ReadPeriod::Wait::poll(runtime::Context& cx) {
    if (Clock::now() >= deadline_) {
        return Unit{};
    }
    if (runtime::DirectWait* direct = cx.direct_wait(); direct != nullptr && id_ == 0) {
        direct->until(deadline_);
        return runtime::pending;
    }
    ReadPeriod& period = *period_;
    runtime::Waker replaced;  // released after the unlock
    std::lock_guard lock(period.mutex_);
    if (id_ != 0) {
        auto it = std::find_if(period.waiters_.begin(), period.waiters_.end(),
                               [this](const Waiter& w) { return w.id == id_; });
        if (it == period.waiters_.end()) {
            return Unit{};  // the timer found it due and took it
        }
        if (!it->waker.will_wake(cx.waker())) {
            replaced = std::exchange(it->waker, cx.waker());
        }
        return runtime::pending;
    }
    id_ = period.next_id_++;
    period.waiters_.push_back(Waiter{id_, deadline_, cx.waker()});
    if (!period.armed_ || period.armed_for_ > deadline_) {
        period.arm_locked(deadline_);
    }
    return runtime::pending;
}

}  // namespace quorvelin::transport
