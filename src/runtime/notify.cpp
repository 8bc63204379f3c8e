#include "runtime/notify.h"

#include <new>
#include <vector>

namespace quorvelin::runtime {

Notified Notify::notified() { return Notified(*this); }

Waker Notify::pass_one_locked() {
    if (Node* node = waiters_.pop_front()) {
        node->received = Received::One;
        return node->waker;
    }
    stored_.store(true, std::memory_order_release);
    return Waker::noop();
}

void Notify::notify_one() {
    Waker waker;
    {
        std::lock_guard lock(mutex_);
        waker = pass_one_locked();
    }
    waker.wake();
}

void Notify::notify_waiters() {
    std::vector<Waker> wakers;
    {
        std::lock_guard lock(mutex_);
        std::size_t count = 0;
        waiters_.for_each([&](Node&) { ++count; });
        bool collected = true;
        try {
            wakers.reserve(count);
        } catch (const std::bad_alloc&) {
            collected = false;
        }
        while (Node* node = waiters_.pop_front()) {
            node->received = Received::All;
            if (collected) {
                wakers.push_back(node->waker);
            } else {
                // No room to wake them after the unlock (this runs when a port closes, from
                // destructors too): woken under the lock, which is safe since a wake-up only
                // queues a task or signals a thread and never comes back to this notifier.
                node->waker.wake();
            }
        }
    }
    for (const Waker& waker : wakers) {
        waker.wake();
    }
}

bool Notify::has_stored_wakeup() const { return stored_.load(std::memory_order_acquire); }

Notified::Notified(Notify& notify) : notify_(&notify) {}

Notified::Notified(Notified&& other) noexcept
    : notify_(other.notify_), node_(std::move(other.node_)), state_(std::exchange(other.state_, State::Done)) {}

Notified::~Notified() {
    if (!node_ || state_ != State::Waiting) {
        return;
    }
    Waker waker;
    {
        std::lock_guard lock(notify_->mutex_);
        notify_->waiters_.remove(node_.get());
        if (node_->received == Notify::Received::One) {
            waker = notify_->pass_one_locked();
        }
    }
    waker.wake();
}

void Notified::enable() {
    if (state_ != State::Init) {
        return;
    }
    node_ = std::make_unique<Notify::Node>();
    std::lock_guard lock(notify_->mutex_);
    notify_->waiters_.push_back(node_.get());
    state_ = State::Waiting;
}

Poll<Unit> Notified::poll(Context& cx) {
    if (state_ == State::Done) {
        return Unit{};
    }
    // Made outside the lock, to keep the critical section short.
    if (!node_) {
        node_ = std::make_unique<Notify::Node>();
    }
    std::lock_guard lock(notify_->mutex_);
    if (state_ == State::Waiting && node_->received != Notify::Received::Nothing) {
        state_ = State::Done;
        return Unit{};
    }
    // A wake-up stored while nobody waited is taken by the first poll that finds it.
    if (notify_->stored_.load(std::memory_order_relaxed)) {
        notify_->stored_.store(false, std::memory_order_relaxed);
        notify_->waiters_.remove(node_.get());
        state_ = State::Done;
        return Unit{};
    }
    if (state_ == State::Init) {
        notify_->waiters_.push_back(node_.get());
        state_ = State::Waiting;
    }
    node_->waker = cx.waker();
    return pending;
}

}  // namespace quorvelin::runtime
