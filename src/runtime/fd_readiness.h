#pragma once
// FdReadiness: read and write readiness of a non-owned, non-blocking descriptor, driven by
// the io_context's reactor.
//
// poll_read_ready / poll_write_ready return a readiness tick, or pending after storing the
// newest waker and arming (at most) one wait per direction. After an attempt fails with
// EAGAIN the caller clears the readiness of that tick; a newer readiness is kept.
//
// The reactor is edge-triggered and drops an edge that arrives while no wait is queued, so
// after arming a wait the descriptor's current level is checked once with poll(2).

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
    void clear_read_ready(std::uint64_t tick);
    void clear_write_ready(std::uint64_t tick);

    // Abandons the registration without touching the reactor: in a child created by fork()
    // the epoll instance is shared with the parent, so deregistering would disarm the
    // parent's descriptor. The Asio object is leaked. Later polls report ready, so attempts
    // surface the descriptor's own error.
    void forget();

    int fd() const { return fd_; }

private:
    enum Direction { Read = 0, Write = 1 };
    struct Shared;
    FdReadiness(int fd, std::unique_ptr<asio::posix::stream_descriptor> descriptor);
    Poll<std::uint64_t> poll_ready(Direction direction, Context& cx);
    void clear_ready(Direction direction, std::uint64_t tick);

    int fd_;
    std::shared_ptr<Shared> shared_;
    // Only touched under Shared::mutex; completion handlers never touch it.
    std::unique_ptr<asio::posix::stream_descriptor> descriptor_;
};

}  // namespace quorvelin::runtime
