#include "runtime/async_mutex.h"

namespace quorvelin::runtime {

AsyncMutexGuard& AsyncMutexGuard::operator=(AsyncMutexGuard&& other) noexcept {
    if (this != &other) {
        unlock();
        mutex_ = std::exchange(other.mutex_, nullptr);
    }
    return *this;
}

void AsyncMutexGuard::unlock() {
    if (AsyncMutex* mutex = std::exchange(mutex_, nullptr)) {
        mutex->unlock();
    }
}

std::optional<AsyncMutexGuard> AsyncMutex::try_lock() {
    int free = Free;
    if (state_.compare_exchange_strong(free, Locked, std::memory_order_acquire, std::memory_order_relaxed)) {
        return AsyncMutexGuard(*this);
    }
    return std::nullopt;
}

bool AsyncMutex::is_locked() const { return state_.load(std::memory_order_acquire) != Free; }

void AsyncMutex::unlock() {
    int held = Locked;
    if (state_.compare_exchange_strong(held, Free, std::memory_order_release, std::memory_order_relaxed)) {
        return;
    }
    Waker waker;
    {
        std::lock_guard lock(mutex_);
        if (LockWaiter* next = queue_.pop_front()) {
            // Direct hand-off: the lock stays taken and now belongs to `next`.
            next->granted = true;
            waker = next->waker;
            if (queue_.empty()) {
                state_.store(Locked, std::memory_order_relaxed);
            }
        } else {
            state_.store(Free, std::memory_order_release);
        }
    }
    waker.wake();
}

LockFuture::LockFuture(AsyncMutex& mutex) : mutex_(&mutex) {}

LockFuture::LockFuture(LockFuture&& other) noexcept
    : mutex_(other.mutex_), node_(std::move(other.node_)), state_(std::exchange(other.state_, State::Done)) {}

LockFuture::~LockFuture() {
    if (!node_ || state_ != State::Queued) {
        return;
    }
    bool pass_on = false;
    {
        std::lock_guard lock(mutex_->mutex_);
        mutex_->queue_.remove(node_.get());
        pass_on = node_->granted;
    }
    if (pass_on) {
        mutex_->unlock();
    }
}

Poll<AsyncMutexGuard> LockFuture::poll(Context& cx) {
    if (state_ == State::Init) {
        int free = AsyncMutex::Free;
        if (mutex_->state_.compare_exchange_strong(free, AsyncMutex::Locked, std::memory_order_acquire,
                                                   std::memory_order_relaxed)) {
            state_ = State::Done;
            return AsyncMutexGuard(*mutex_);
        }
        if (!node_) {
            node_ = std::make_unique<LockWaiter>();  // only a request that queues needs one
        }
    }
    std::lock_guard lock(mutex_->mutex_);
    switch (state_) {
        case State::Init: {
            int seen = mutex_->state_.load(std::memory_order_relaxed);
            for (;;) {
                if (seen == AsyncMutex::Free) {
                    // Released meanwhile; the queue is empty, or the holder would have handed it on.
                    if (mutex_->state_.compare_exchange_weak(seen, AsyncMutex::Locked, std::memory_order_acquire,
                                                             std::memory_order_relaxed)) {
                        state_ = State::Done;
                        return AsyncMutexGuard(*mutex_);
                    }
                } else if (seen == AsyncMutex::Contended ||
                           mutex_->state_.compare_exchange_weak(seen, AsyncMutex::Contended,
                                                                std::memory_order_relaxed)) {
                    break;
                }
            }
            mutex_->queue_.push_back(node_.get());
            state_ = State::Queued;
            break;
        }
        case State::Queued:
            if (node_->granted) {
                state_ = State::Done;
                return AsyncMutexGuard(*mutex_);
            }
            break;
        case State::Done:
            // Polled again after it yielded its guard: a caller bug, never a second lock.
            std::terminate();
    }
    node_->waker = cx.waker();
    return pending;
}

}  // namespace quorvelin::runtime
