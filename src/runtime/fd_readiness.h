#pragma once
// FdReadiness: read and write readiness of a non-owned, non-blocking descriptor, driven by
// the io_context's reactor or, when the polling thread waits by itself, by that thread.
//
// poll_read_ready / poll_write_ready return a readiness tick, or pending after arranging a
// wake-up: a thread that polls with a DirectWait gets the descriptor added to it and waits
// for it itself; a look (a DirectWait in Look mode) arranges nothing and only checks the
// level when the readiness is unknown; any other poller stores its waker, and (at most) one
// reactor wait per direction is armed. After an attempt fails with EAGAIN the caller clears
// the readiness of that tick; after an attempt that moved less than it could it spends it. A
// newer readiness is kept either way. A spent write readiness counts as a cleared one: a short
// write leaves the output queue full, so the next task poll waits for room at once.
//
// Where nothing is known (at the start, after a spent tick), a task or a single poll gets a
// tick at once: its attempt is the level check, and costs no more than poll(2) would when
// the descriptor is empty and spares it when there is something to move. Only a cleared
// tick (an attempt that found nothing) makes the next such poll wait through the reactor.
//
// Each direction has a registration of its own with the reactor, the write one on a room
// watch: an epoll set of the FdReadiness's own, which watches the descriptor for room only and
// is readable while there is room. Nothing ever waits on that set itself; the reactor waits
// on it. The reactor keeps a registration's write interest for good once asked for, and asks
// every registration for input, and every edge it reports wakes a worker: so write interest
// is never part of the registration that read waits use, and arriving data never wakes a
// worker that waits for room (a bulk echo's writes would wake it at every chunk).
//
// A registration lasts while reactor waits of its direction need it, as if each wait were
// one-shot: from its registration (or the next reactor wait) on, until a thread waits for the
// descriptor by itself, or an attempt moves data without the reactor having said so (for
// writes: one that moved all it asked for, which ends its operation), with no wait of that
// direction queued. An unused registration would
// still report every new edge to a worker: a stream read by operations that find their data
// already there (a bulk transfer), or written while a read waits, would wake a worker per
// chunk for nothing. A registration kept for the wake-up of a wait that fired is used by the
// poll that follows, so waits that follow each other (round trips, the waits of one long
// write) keep it; a write registration goes as soon as a write has written all it had
// (wrote_all), since room keeps coming, an edge each time, for as long as the far end drains.
//
// The reactor is edge-triggered and drops an edge that arrives while no wait is queued. Every
// queued wait re-registers the descriptor (Asio modifies the epoll entry), which re-reports a
// level that is already there, so nothing is lost.

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
    // A write attempt wrote all it was given: its operation has nothing more to write, so the
    // write registration kept for its waits goes now, on the thread that wrote, before room
    // that nobody waits for (each drain of the far end an edge) wakes a worker.
    void wrote_all();

    // Abandons the registrations without touching the reactor: in a child created by fork()
    // the epoll instance is shared with the parent, so deregistering would disarm the
    // parent's descriptor. The Asio objects are leaked. Later polls report ready, so attempts
    // surface the descriptor's own error.
    void forget();

    int fd() const { return fd_; }
    // Whether the descriptor is in the reactor's set now for read waits, and for write waits
    // (for tests).
    bool is_registered();
    bool is_registered_for_writing();
    // The room watch's descriptor (for tests).
    int room_watch() const { return room_watch_; }

private:
    enum Direction { Read = 0, Write = 1 };
    struct Shared;
    FdReadiness(asio::io_context& io, int fd, int watch, std::unique_ptr<asio::posix::stream_descriptor> reads);
    Poll<std::uint64_t> poll_ready(Direction direction, Context& cx);
    void clear_ready(Direction direction, std::uint64_t tick, bool found_empty);
    // Queues one reactor wait for `direction`, registering first when needed; pending.
    // Called with Shared::mutex held.
    Poll<std::uint64_t> arm_locked(Direction direction);
    // An attempt of a task or a single poll moved data in `direction` without a reactor wait
    // having reported it. Called with Shared::mutex held.
    void served_locked(Direction direction);
    void deregister_locked(Direction direction);

    asio::io_context& io_;
    int fd_;
    // The room watch (see above), owned, for the write registration. Closed by the
    // destructor, which also ends its watch of fd_.
    int room_watch_;
    std::shared_ptr<Shared> shared_;
    // Indexed by Direction; only touched under Shared::mutex, and completion handlers never
    // touch them. Absent while that direction is out of the reactor's set.
    std::unique_ptr<asio::posix::stream_descriptor> registrations_[2];
};

}  // namespace quorvelin::runtime
