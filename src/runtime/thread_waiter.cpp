#include "runtime/thread_waiter.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "runtime/process_id.h"

namespace quorvelin::runtime {
namespace {

// The fast way in, trivially constructed: one thread-local look-up per call.
struct Current {
    ThreadWaiter* waiter;
    const Waker* waker;
    // A child created by fork shares the parent's eventfd: it makes its own.
    std::uint32_t pid;
};
thread_local Current current_waiter{nullptr, nullptr, 0};

// What a thread keeps: the waker owns the waiter, so wakers stored in leaves keep the eventfd
// open after the thread has gone, and nothing is left behind once the last of them is dropped.
struct Owner {
    Waker waker;
    ~Owner() { current_waiter = Current{nullptr, nullptr, 0}; }
};
thread_local Owner owner;

Current& this_thread_waiter() {
    Current& mine = current_waiter;
    std::uint32_t pid = process_id();
    if (mine.waiter == nullptr || mine.pid != pid) [[unlikely]] {
        int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (fd == -1) {
            return mine;
        }
        auto waiter = std::make_shared<ThreadWaiter>(fd);
        mine.waiter = waiter.get();
        owner.waker = Waker(std::move(waiter));
        mine.waker = &owner.waker;
        mine.pid = pid;
    }
    return mine;
}

// Longer waits are cut to this and simply waited again: it fits a 32-bit time_t.
constexpr auto LONGEST_WAIT = std::chrono::hours(24);

timespec to_timespec(Clock::duration span) {
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::min<Clock::duration>(span, LONGEST_WAIT));
    return timespec{static_cast<time_t>(ns.count() / 1'000'000'000), static_cast<long>(ns.count() % 1'000'000'000)};
}

}  // namespace

ThreadWaiter::~ThreadWaiter() { ::close(event_fd_); }

ThreadWaiter::Mine ThreadWaiter::current() {
    Current& mine = this_thread_waiter();
    if (mine.waiter != nullptr && mine.pid != process_id()) {
        return Mine{nullptr, nullptr};  // in a child whose eventfd could not be made
    }
    return Mine{mine.waiter, mine.waker};
}

void ThreadWaiter::wake() {
    if (!signalled_.exchange(true, std::memory_order_acq_rel)) {
        std::uint64_t one = 1;
        // Cannot fail short of a counter overflow, which a pending 1 never reaches.
        (void)!::write(event_fd_, &one, sizeof one);
    }
}

void ThreadWaiter::wait(DirectWait& direct, std::optional<Instant> deadline) {
    std::optional<Instant> until = direct.deadline();
    if (deadline && (!until || *deadline < *until)) {
        until = deadline;
    }
    timespec timeout{};
    timespec* timeout_ptr = nullptr;
    if (until) {
        Instant now = Clock::now();
        if (*until <= now) {
            return;
        }
        timeout = to_timespec(*until - now);
        timeout_ptr = &timeout;
    }

    pollfd fds[1 + DirectWait::capacity];
    fds[0] = pollfd{event_fd_, POLLIN, 0};
    const std::size_t watched = direct.size();
    for (std::size_t i = 0; i < watched; ++i) {
        fds[1 + i] = direct[i].fd;
    }
    int ready = ::ppoll(fds, 1 + watched, timeout_ptr, nullptr);
    if (ready == 0 || (ready < 0 && errno == EINTR)) {
        return;
    }
    if (ready < 0) {
        // Cannot wait here (out of kernel memory): let the attempts run and report.
        for (std::size_t i = 0; i < watched; ++i) {
            direct[i].sink->saw_ready(direct[i].tag);
        }
        return;
    }
    if (fds[0].revents != 0) {
        // Drained first, cleared after: a wake-up in between finds the flag still set and
        // writes nothing, but what it announces is already there for the poll that follows;
        // every wake-up after the clear writes again. An exchange, so that it also acquires
        // what such a wake-up announced.
        std::uint64_t count;
        (void)!::read(event_fd_, &count, sizeof count);
        (void)signalled_.exchange(false, std::memory_order_acq_rel);
    }
    for (std::size_t i = 0; i < watched; ++i) {
        if (fds[1 + i].revents != 0) {
            direct[i].sink->saw_ready(direct[i].tag);
        }
    }
}

}  // namespace quorvelin::runtime
