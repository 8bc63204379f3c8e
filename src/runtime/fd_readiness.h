#pragma once
// FdReadiness: read and write readiness of a non-owned, non-blocking descriptor, driven by
// the io_context's reactor or, when the polling thread waits by itself, by that thread.
//
// poll_read_ready / poll_write_ready return a readiness tick, or pending after arranging a
// wake-up: a thread that polls with a DirectWait gets the descriptor added to it and waits
// for it itself; a look (a DirectWait in Look mode) arranges nothing and only checks the
// level when the readiness is unknown; any other poller stores its waker, and (at most) one
// reactor wait per direction is armed. After an attempt fails with EAGAIN the caller clears the readiness of
// that tick; after an attempt that moved less than it could it spends it, so that the next
// attempt first waits for readiness instead of reading or writing for an EAGAIN. A newer
// readiness is kept either way.
//
// The descriptor is registered with the reactor while reactor waits need it, as if each wait
// were one-shot: from the registration (or the next reactor wait) on, until a thread waits for
// it by itself, or an operation finds it ready without the reactor having said so, with no
// reactor wait queued. An unused registration would still report every new edge to a worker:
// a stream read by operations that find their data already there (a bulk transfer) would wake
// a worker per chunk for nothing. A registration kept for the wake-up of a wait that fired is
// used by the poll that follows, so waits that follow each other (round trips) keep it. For
// the same reason write readiness stays in the registration only while write waits come: the
// first read wait after them registers afresh, for reading alone.
//
// The reactor is edge-triggered and drops an edge that arrives while no wait is queued. Every
// queued wait re-registers the descriptor (Asio modifies the epoll entry), which re-reports a
// level that is already there, so nothing is lost; a readiness that is already there when a
// new wait would be queued is found first by a level check with poll(2), which spares the
// reactor a round trip. That check is skipped right after an attempt found nothing.

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>

#include <cstdint>
#include <memory>

#include "errors/result.h"
#include "runtime/poll.h"

namespace quorvelin::runtime {

class FdReadiness {
public:
    // Registers `fd` with the reactor of `io`; the descriptor stays owned by the caller.
    static Result<std::unique_ptr<FdReadiness>> register_fd(asio::io_context& io, int fd);

    // Deregisters without closing the descriptor.
    ~FdReadiness();
    FdReadiness(const FdReadiness&) = delete;
    FdReadiness& operator=(const FdReadiness&) = delete;

    Poll<std::uint64_t> poll_read_ready(Context& cx);
    Poll<std::uint64_t> poll_write_ready(Context& cx);
    // The attempt of that tick found nothing.
    void clear_read_ready(std::uint64_t tick);
    void clear_write_ready(std::uint64_t tick);
    // The attempt of that tick moved less than it could: the descriptor is likely spent.
    void spend_read_ready(std::uint64_t tick);
    void spend_write_ready(std::uint64_t tick);

    // Abandons the registration without touching the reactor: in a child created by fork()
    // the epoll instance is shared with the parent, so deregistering would disarm the
    // parent's descriptor. The Asio object is leaked. Later polls report ready, so attempts
    // surface the descriptor's own error.
    void forget();

    int fd() const { return fd_; }
    // Whether the descriptor is in the reactor's set now (for tests).
    bool is_registered();

private:
    enum Direction { Read = 0, Write = 1 };
    struct Shared;
    FdReadiness(asio::io_context& io, int fd, std::unique_ptr<asio::posix::stream_descriptor> descriptor);
    Poll<std::uint64_t> poll_ready(Direction direction, Context& cx);
    void clear_ready(Direction direction, std::uint64_t tick, bool found_empty);
    // Queues one reactor wait for `direction`, registering first when needed; pending.
    // Called with Shared::mutex held.
    Poll<std::uint64_t> arm_locked(Direction direction);
    // A poll of a task or a single attempt found `direction` ready. Called with
    // Shared::mutex held.
    void served_locked(Direction direction);
    void deregister_locked();

    asio::io_context& io_;
    int fd_;
    std::shared_ptr<Shared> shared_;
    // Only touched under Shared::mutex; completion handlers never touch it. Absent while
    // the descriptor is out of the reactor's set.
    std::unique_ptr<asio::posix::stream_descriptor> descriptor_;
    // The registration has asked for write readiness (under Shared::mutex).
    bool watches_writable_ = false;
};

}  // namespace quorvelin::runtime
