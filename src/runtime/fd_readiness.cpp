#include "runtime/fd_readiness.h"

#include <poll.h>

#include <atomic>
#include <mutex>
#include <system_error>

#include "runtime/direct_wait.h"
#include "runtime/fork_guard.h"
#include "runtime/reactor_wake.h"

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

struct FdReadiness::Shared final : ReadinessSink {
    struct Side {
        bool ready = false;
        bool armed = false;
        // The last attempt found nothing, so a level check now would find nothing either.
        bool found_empty = false;
        // The readiness was reported by a reactor wait and no poll has taken it up yet.
        bool from_reactor = false;
        std::uint64_t tick = 0;
        Waker waker;

        void mark_ready() {
            if (!ready) {
                ready = true;
                ++tick;
            }
            found_empty = false;
        }
    };
    std::mutex mutex;
    // A forked child that closes the port takes it (forget()).
    ForkLock fork_lock{mutex, ForkLockLevel::Leaf};
    Side sides[2];
    bool forgotten = false;

    // A thread that waited for the descriptor itself saw it ready; it polls again by itself,
    // so nobody is woken.
    void saw_ready(int direction) override {
        std::lock_guard lock(mutex);
        sides[direction].mark_ready();
    }
};

Result<std::unique_ptr<FdReadiness>> FdReadiness::register_fd(asio::io_context& io, int fd) {
    try {
        auto descriptor = std::make_unique<asio::posix::stream_descriptor>(io, fd);
        return std::unique_ptr<FdReadiness>(new FdReadiness(io, fd, std::move(descriptor)));
    } catch (const std::system_error& error) {
        return SerialError::from_os_error(error.code().value());
    }
}

FdReadiness::FdReadiness(asio::io_context& io, int fd, std::unique_ptr<asio::posix::stream_descriptor> descriptor)
    : io_(io), fd_(fd), shared_(std::make_shared<Shared>()), descriptor_(std::move(descriptor)) {}

FdReadiness::~FdReadiness() {
    std::lock_guard lock(shared_->mutex);
    deregister_locked();
}

void FdReadiness::deregister_locked() {
    if (descriptor_) {
        // Cancels the queued waits and removes the descriptor from the reactor; no close.
        (void)descriptor_->release();
        descriptor_.reset();
    }
    watches_writable_ = false;
}

void FdReadiness::forget() {
    std::lock_guard lock(shared_->mutex);
    if (descriptor_) {
        keep_forever(descriptor_.release());  // never destroyed: its destructor would touch the reactor
    }
    shared_->forgotten = true;
}

bool FdReadiness::is_registered() {
    std::lock_guard lock(shared_->mutex);
    return descriptor_ != nullptr;
}

Poll<std::uint64_t> FdReadiness::poll_read_ready(Context& cx) { return poll_ready(Read, cx); }
Poll<std::uint64_t> FdReadiness::poll_write_ready(Context& cx) { return poll_ready(Write, cx); }
void FdReadiness::clear_read_ready(std::uint64_t tick) { clear_ready(Read, tick, true); }
void FdReadiness::clear_write_ready(std::uint64_t tick) { clear_ready(Write, tick, true); }
void FdReadiness::spend_read_ready(std::uint64_t tick) { clear_ready(Read, tick, false); }
void FdReadiness::spend_write_ready(std::uint64_t tick) { clear_ready(Write, tick, false); }

Poll<std::uint64_t> FdReadiness::poll_ready(Direction direction, Context& cx) {
    Shared::Side& side = shared_->sides[direction];
    const short events = direction == Read ? POLLIN : POLLOUT;
    bool look = false;
    DirectWait* direct = cx.direct_wait();
    {
        std::lock_guard lock(shared_->mutex);
        if (shared_->forgotten) {
            return side.tick;
        }
        if (side.ready) {
            if (direct == nullptr) {
                served_locked(direction);
            }
            return side.tick;
        }
        if (direct != nullptr && direct->waits() && direct->watch(fd_, events, shared_, direction)) {
            // The reactor would report every edge of the descriptor to a worker, waited for
            // or not; while this thread does the waiting, the registration goes, unless a
            // reactor wait is still queued.
            if (!shared_->sides[Read].armed && !shared_->sides[Write].armed) {
                deregister_locked();
            }
            return pending;
        }
        look = direct != nullptr && !direct->waits();
        if (look) {
            // Nothing to arm for; only a level check can tell more.
            if (side.found_empty) {
                return pending;
            }
        } else {
            // A task, a single poll, or a thread's wait with no room left: the reactor.
            side.waker = cx.waker();
            if (side.armed) {
                return pending;
            }
            if (side.found_empty) {
                return arm_locked(direction);
            }
        }
    }
    pollfd probe{fd_, events, 0};
    const bool level = ::poll(&probe, 1, 0) > 0 && probe.revents != 0;
    std::lock_guard lock(shared_->mutex);
    if (level) {
        side.mark_ready();
    }
    if (side.ready) {
        if (direct == nullptr) {
            served_locked(direction);
        }
        return side.tick;
    }
    if (look || side.armed) {
        return pending;
    }
    return arm_locked(direction);
}

void FdReadiness::served_locked(Direction direction) {
    Shared::Side& side = shared_->sides[direction];
    if (side.from_reactor) {
        // The wake-up this registration was kept for; the next wait will likely follow soon.
        side.from_reactor = false;
        return;
    }
    // Served without the reactor: an attempt follows at once, so the descriptor is being
    // drained (or filled) by its operations themselves, and every new edge would only wake a
    // worker for nothing. With no wait queued the registration goes; the next wait makes a
    // new one. Edges of a direction the registration does not ask for (writable, before any
    // write wait) cost nothing, so a write served so leaves it alone.
    if (!descriptor_ || shared_->sides[Read].armed || shared_->sides[Write].armed) {
        return;
    }
    if (direction == Read || watches_writable_) {
        deregister_locked();
    }
}

Poll<std::uint64_t> FdReadiness::arm_locked(Direction direction) {
    Shared::Side& side = shared_->sides[direction];
    if (direction == Read && watches_writable_ && !shared_->sides[Write].armed) {
        // Once asked for, the reactor keeps write readiness in the registration, and every
        // read wait would then wake a worker for a writable descriptor nobody waits on: a
        // read wait after the write waits are over starts from a fresh registration.
        deregister_locked();
    }
    if (!descriptor_) {
        try {
            descriptor_ = std::make_unique<asio::posix::stream_descriptor>(io_, fd_);
        } catch (const std::system_error&) {
            // The kernel refused the registration (out of memory or watches): the poller is
            // asked to come back, so the operation retries instead of sleeping for good, and
            // stays cancellable meanwhile.
            Waker waker = side.waker;
            waker.wake();
            return pending;
        }
    }
    side.armed = true;
    side.found_empty = false;
    if (direction == Write) {
        watches_writable_ = true;
    }
    auto wait = direction == Read ? asio::posix::descriptor_base::wait_read : asio::posix::descriptor_base::wait_write;
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
            side.mark_ready();
            side.from_reactor = true;
            waker = std::move(side.waker);
        }
        ReactorWake continuation;
        waker.wake();
    });
    return pending;
}

void FdReadiness::clear_ready(Direction direction, std::uint64_t tick, bool found_empty) {
    std::lock_guard lock(shared_->mutex);
    Shared::Side& side = shared_->sides[direction];
    if (side.tick == tick) {
        side.ready = false;
        side.from_reactor = false;
        side.found_empty = found_empty;
    }
}

}  // namespace quorvelin::runtime
