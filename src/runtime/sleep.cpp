#include "runtime/sleep.h"

#include <mutex>
#include <stdexcept>

#include "runtime/direct_wait.h"
#include "runtime/reactor_wake.h"
#include "runtime/runtime.h"

namespace quorvelin::runtime {

// Shared with the timer's completion handler, which may run after the Sleep is gone.
struct Sleep::Shared {
    std::mutex mutex;
    bool fired = false;
    Waker waker;
};

Sleep::Sleep(Instant deadline, asio::io_context* io) : deadline_(deadline), io_(io) {}

Sleep::Sleep(Sleep&&) noexcept = default;
Sleep& Sleep::operator=(Sleep&&) noexcept = default;

Sleep::~Sleep() {
    if (timer_) {
        timer_->cancel();
    }
}

Poll<Unit> Sleep::poll(Context& cx) {
    if (Clock::now() >= deadline_) {
        return Unit{};
    }
    if (DirectWait* direct = cx.direct_wait(); direct != nullptr && !timer_) {
        direct->until(deadline_);
        return pending;
    }
    if (shared_) {
        std::lock_guard lock(shared_->mutex);
        if (shared_->fired) {
            return Unit{};
        }
        shared_->waker = cx.waker();
        return pending;
    }
    if (!io_) {
        Result<Owned*> owned = runtime();
        if (!owned) {
            // Operations only run once the runtime was obtained; reaching this is a fault.
            throw std::runtime_error(owned.error().display());
        }
        io_ = &owned.value()->runtime->io();
    }
    shared_ = std::make_shared<Shared>();
    shared_->waker = cx.waker();
    timer_ = std::make_unique<asio::steady_timer>(*io_, deadline_);
    timer_->async_wait([shared = shared_](const asio::error_code& error) {
        if (error == asio::error::operation_aborted) {
            return;
        }
        Waker waker;
        {
            std::lock_guard lock(shared->mutex);
            shared->fired = true;
            waker = std::move(shared->waker);
        }
        ReactorWake continuation;
        waker.wake();
    });
    return pending;
}

}  // namespace quorvelin::runtime
