#include "runtime/fd_readiness.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
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

// Hands the descriptor back without closing it: the reactor drops it (and cancels its queued
// waits), the descriptor number stays open.
void release(std::unique_ptr<asio::posix::stream_descriptor>& registration) {
    if (registration) {
        (void)registration->release();
        registration.reset();
    }
}

}  // namespace

struct FdReadiness::Shared final : ReadinessSink {
    struct Side {
        bool ready = false;
        bool armed = false;
        // The last attempt found nothing, so the next poll of a task waits for the reactor.
        bool found_empty = false;
        // A look found nothing by its level check: a task's poll that follows waits for the
        // reactor rather than trying once more. Looks themselves keep checking.
        bool looked_empty = false;
        // The readiness was reported by a reactor wait and no poll has taken it up yet.
        bool from_reactor = false;
        // A tick was handed out where nothing was known, or where only an earlier attempt's
        // full move left the readiness, and its attempt has not reported back (a clear or a
        // spend) yet; when the next poll comes first, that attempt moved all it could.
        bool probing = false;
        std::uint64_t tick = 0;
        Waker waker;

        void mark_ready() {
            if (!ready) {
                ready = true;
                ++tick;
            }
            found_empty = false;
            looked_empty = false;
            probing = false;
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
    // Made first: opening a port fails here, not at its first write wait, when the process
    // has no descriptor to spare. Level-triggered: the reactor's re-registration at each
    // wait asks the set, and the set asks the descriptor, for room that is already there.
    const int watch = ::epoll_create1(EPOLL_CLOEXEC);
    if (watch < 0) {
        return SerialError::from_os_error(errno);
    }
    epoll_event room{};
    room.events = EPOLLOUT;
    room.data.fd = fd;
    if (::epoll_ctl(watch, EPOLL_CTL_ADD, fd, &room) != 0) {
        const int error = errno;
        ::close(watch);
        return SerialError::from_os_error(error);
    }
    try {
        auto reads = std::make_unique<asio::posix::stream_descriptor>(io, fd);
        return std::unique_ptr<FdReadiness>(new FdReadiness(io, fd, watch, std::move(reads)));
    } catch (const std::system_error& error) {
        ::close(watch);
        return SerialError::from_os_error(error.code().value());
    } catch (...) {
        ::close(watch);  // out of memory: the room watch must not outlive the failed open
        throw;
    }
}

FdReadiness::FdReadiness(asio::io_context& io, int fd, int watch,
                         std::unique_ptr<asio::posix::stream_descriptor> reads)
    : io_(io), fd_(fd), room_watch_(watch), shared_(std::make_shared<Shared>()) {
    registrations_[Read] = std::move(reads);
}

FdReadiness::~FdReadiness() {
    {
        std::lock_guard lock(shared_->mutex);
        deregister_locked(Read);
        deregister_locked(Write);
    }
    // Also after forget(): in a forked child this closes only the child's copy of the room
    // watch, and the parent's copy keeps the set, and so its registration, alive.
    ::close(room_watch_);
}

void FdReadiness::deregister_locked(Direction direction) { release(registrations_[direction]); }

void FdReadiness::forget() {
    std::lock_guard lock(shared_->mutex);
    for (auto& registration : registrations_) {
        if (registration) {
            keep_forever(registration.release());  // never destroyed: its destructor would touch the reactor
        }
    }
    shared_->forgotten = true;
}

bool FdReadiness::is_registered() {
    std::lock_guard lock(shared_->mutex);
    return registrations_[Read] != nullptr;
}

bool FdReadiness::is_registered_for_writing() {
    std::lock_guard lock(shared_->mutex);
    return registrations_[Write] != nullptr;
}

Poll<std::uint64_t> FdReadiness::poll_read_ready(Context& cx) { return poll_ready(Read, cx); }
Poll<std::uint64_t> FdReadiness::poll_write_ready(Context& cx) { return poll_ready(Write, cx); }
void FdReadiness::clear_read_ready(std::uint64_t tick) { clear_ready(Read, tick, true); }
void FdReadiness::clear_write_ready(std::uint64_t tick) { clear_ready(Write, tick, true); }
void FdReadiness::spend_read_ready(std::uint64_t tick) { clear_ready(Read, tick, false); }
// A short write leaves the output queue full: asking again would only fetch an EAGAIN, so the
// next task poll waits for the reactor at once. Room that came meanwhile is not lost: the
// wait's re-registration reports a level that is already there.
void FdReadiness::spend_write_ready(std::uint64_t tick) { clear_ready(Write, tick, true); }

void FdReadiness::wrote_all() {
    std::lock_guard lock(shared_->mutex);
    Shared::Side& side = shared_->sides[Write];
    side.probing = false;  // it has reported back
    if (!side.armed) {
        deregister_locked(Write);
    }
}

Poll<std::uint64_t> FdReadiness::poll_ready(Direction direction, Context& cx) {
    Shared::Side& side = shared_->sides[direction];
    const short events = direction == Read ? POLLIN : POLLOUT;
    DirectWait* direct = cx.direct_wait();
    {
        std::lock_guard lock(shared_->mutex);
        if (shared_->forgotten) {
            return side.tick;
        }
        if (side.ready) {
            if (direct == nullptr || !direct->waits()) {
                if (side.from_reactor || side.probing) {
                    served_locked(direction);
                } else {
                    // Readiness left by an attempt that moved all it asked for: whether this
                    // attempt moves data without the reactor is known only from its report. One
                    // that finds nothing (the round trip's read after its write) keeps the
                    // registration for the wait that follows.
                    side.probing = true;
                }
            }
            return side.tick;
        }
        if (direct != nullptr && direct->waits() && direct->watch(fd_, events, shared_, direction)) {
            // The reactor would report every edge of the descriptor to a worker, waited for
            // or not; while this thread does the waiting, the registrations go, each unless a
            // reactor wait of its own is still queued.
            for (Direction each : {Read, Write}) {
                if (!shared_->sides[each].armed) {
                    deregister_locked(each);
                }
            }
            return pending;
        }
        if (direct == nullptr || direct->waits()) {
            // A task, a single poll, or a thread's wait with no room left: the reactor.
            side.waker = cx.waker();
            if (side.armed) {
                return pending;
            }
            if (side.found_empty || side.looked_empty) {
                return arm_locked(direction);
            }
            // Nothing known: the attempt finds out (see the header).
            if (side.probing && direct == nullptr) {
                served_locked(direction);  // the last attempt moved all it asked for
            }
            side.probing = true;
            return side.tick;
        }
        // A look: nothing to arm for; only a level check can tell more.
        if (side.found_empty) {
            return pending;
        }
    }
    pollfd probe{fd_, events, 0};
    const bool level = ::poll(&probe, 1, 0) > 0 && probe.revents != 0;
    std::lock_guard lock(shared_->mutex);
    if (level) {
        side.mark_ready();
    }
    if (side.ready) {
        served_locked(direction);
        return side.tick;
    }
    side.looked_empty = true;
    return pending;
}

void FdReadiness::served_locked(Direction direction) {
    Shared::Side& side = shared_->sides[direction];
    if (side.from_reactor) {
        // The wake-up this registration was kept for; the next wait will likely follow soon.
        side.from_reactor = false;
        return;
    }
    // Served without the reactor: the descriptor is being drained (or filled) by its
    // operations themselves, and every new edge would only wake a worker for nothing. With no
    // wait of this direction queued its registration goes; the next wait makes a new one.
    if (!side.armed) {
        deregister_locked(direction);
    }
}

Poll<std::uint64_t> FdReadiness::arm_locked(Direction direction) {
    Shared::Side& side = shared_->sides[direction];
    std::unique_ptr<asio::posix::stream_descriptor>& registration = registrations_[direction];
    if (!registration) {
        try {
            registration = std::make_unique<asio::posix::stream_descriptor>(io_, direction == Read ? fd_ : room_watch_);
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
    side.looked_empty = false;
    side.probing = false;
    // Both directions wait for readability: the write registration is on the room watch, which
    // turns readable when there is room.
    const auto readable = asio::posix::descriptor_base::wait_read;
    registration->async_wait(readable, [shared = shared_, direction](const asio::error_code& error) {
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
    if (side.tick != tick) {
        return;  // a newer readiness came meanwhile
    }
    // A short read found data that the reactor never reported: the far end keeps the stream
    // coming. (A short write counts as found empty: its operation will wait for room and want
    // the registration; see spend_write_ready and wrote_all.)
    if (!found_empty && side.probing) {
        served_locked(direction);
    }
    side.ready = false;
    side.from_reactor = false;
    side.probing = false;
    side.found_empty = found_empty;
}

}  // namespace quorvelin::runtime
