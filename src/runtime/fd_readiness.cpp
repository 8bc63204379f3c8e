#include "runtime/fd_readiness.h"

#include <poll.h>

#include <atomic>
#include <mutex>
#include <system_error>

#include "runtime/fork_guard.h"

namespace quorvelin::runtime {
namespace {

// Forgotten registrations stay reachable from here for the rest of the process, so they are
// deliberately kept objects rather than lost memory.
struct Forgotten {
    asio::posix::stream_descriptor* descriptor;
    Forgotten* next;
};
std::atomic<Forgotten*> forgotten_registrations{nullptr};

void keep_forever(asio::posix::stream_descriptor* descriptor) {
    auto* node = new Forgotten{descriptor, forgotten_registrations.load()};
    while (!forgotten_registrations.compare_exchange_weak(node->next, node)) {
    }
}

}  // namespace

struct FdReadiness::Shared {
    struct Side {
        bool ready = false;
        bool armed = false;
        std::uint64_t tick = 0;
        Waker waker;
    };
    std::mutex mutex;
    // A forked child that closes the port takes it (forget()).
    ForkLock fork_lock{mutex, ForkLockLevel::Leaf};
    Side sides[2];
    bool forgotten = false;
};

Result<std::unique_ptr<FdReadiness>> FdReadiness::register_fd(asio::io_context& io, int fd) {
    try {
        auto descriptor = std::make_unique<asio::posix::stream_descriptor>(io, fd);
        return std::unique_ptr<FdReadiness>(new FdReadiness(fd, std::move(descriptor)));
    } catch (const std::system_error& error) {
        return SerialError::from_os_error(error.code().value());
    }
}

FdReadiness::FdReadiness(int fd, std::unique_ptr<asio::posix::stream_descriptor> descriptor)
    : fd_(fd), shared_(std::make_shared<Shared>()), descriptor_(std::move(descriptor)) {}

FdReadiness::~FdReadiness() {
    std::lock_guard lock(shared_->mutex);
    if (descriptor_) {
        // Cancels the queued waits and removes the descriptor from the reactor; no close.
        (void)descriptor_->release();
    }
}

void FdReadiness::forget() {
    std::lock_guard lock(shared_->mutex);
    if (descriptor_) {
        keep_forever(descriptor_.release());  // never destroyed: its destructor would touch the reactor
    }
    shared_->forgotten = true;
}

Poll<std::uint64_t> FdReadiness::poll_read_ready(Context& cx) { return poll_ready(Read, cx); }
Poll<std::uint64_t> FdReadiness::poll_write_ready(Context& cx) { return poll_ready(Write, cx); }
void FdReadiness::clear_read_ready(std::uint64_t tick) { clear_ready(Read, tick); }
void FdReadiness::clear_write_ready(std::uint64_t tick) { clear_ready(Write, tick); }

Poll<std::uint64_t> FdReadiness::poll_ready(Direction direction, Context& cx) {
    Shared::Side& side = shared_->sides[direction];
    {
        std::lock_guard lock(shared_->mutex);
        if (shared_->forgotten) {
            return side.tick;
        }
        if (side.ready) {
            return side.tick;
        }
        side.waker = cx.waker();
        if (!side.armed) {
            side.armed = true;
            auto wait = direction == Read ? asio::posix::descriptor_base::wait_read
                                          : asio::posix::descriptor_base::wait_write;
            descriptor_->async_wait(wait, [shared = shared_, direction](const asio::error_code& error) {
                Waker waker;
                {
                    std::lock_guard lock(shared->mutex);
                    Shared::Side& side = shared->sides[direction];
                    side.armed = false;
                    if (error == asio::error::operation_aborted) {
                        return;
                    }
                    // An error also counts as readiness: the next attempt reports it.
                    side.ready = true;
                    ++side.tick;
                    waker = std::move(side.waker);
                }
                waker.wake();
            });
        }
    }
    // The level check after arming: readiness that arrived before the wait was queued.
    pollfd probe{fd_, static_cast<short>(direction == Read ? POLLIN : POLLOUT), 0};
    if (::poll(&probe, 1, 0) > 0 && probe.revents != 0) {
        std::lock_guard lock(shared_->mutex);
        if (!side.ready) {
            side.ready = true;
            ++side.tick;
        }
        return side.tick;
    }
    return pending;
}

void FdReadiness::clear_ready(Direction direction, std::uint64_t tick) {
    std::lock_guard lock(shared_->mutex);
    Shared::Side& side = shared_->sides[direction];
    if (side.tick == tick) {
        side.ready = false;
    }
}

}  // namespace quorvelin::runtime
