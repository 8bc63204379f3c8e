#pragma once
// Drain: what a flush waits on. A port with a descriptor hands out an owned duplicate of it,
// so the wait holds no lock of the port; a port without one has nothing to drain.

#include <functional>
#include <optional>
#include <utility>

#include "errors/result.h"

namespace quorvelin {

class Drain {
public:
    // Blocks until the device behind `fd` has sent its output; does not close `fd`.
    using Wait = std::function<Status(int fd)>;
    using Close = std::function<void(int fd)>;

    // Nothing to drain.
    Drain() = default;
    // Owns `fd`; `close` releases it, whether or not the drain is ever run.
    Drain(int fd, Wait wait, Close close) : fd_(fd), wait_(std::move(wait)), close_(std::move(close)) {}

    Drain(Drain&& other) noexcept
        : fd_(std::exchange(other.fd_, std::nullopt)),
          wait_(std::move(other.wait_)),
          close_(std::move(other.close_)) {}
    Drain& operator=(Drain&& other) noexcept {
        if (this != &other) {
            release();
            fd_ = std::exchange(other.fd_, std::nullopt);
            wait_ = std::move(other.wait_);
            close_ = std::move(other.close_);
        }
        return *this;
    }
    Drain(const Drain&) = delete;
    Drain& operator=(const Drain&) = delete;
    ~Drain() { release(); }

    const std::optional<int>& fd() const { return fd_; }

    // Waits until the output is sent, then closes the descriptor in every case. Blocking:
    // run it on a blocking thread. Without a descriptor it succeeds at once.
    Status wait() && {
        if (!fd_) {
            return ok_status();
        }
        Status result = wait_(*fd_);
        release();
        return result;
    }

private:
    void release() {
        if (fd_) {
            close_(*std::exchange(fd_, std::nullopt));
        }
    }

    std::optional<int> fd_;
    Wait wait_;
    Close close_;
};

}  // namespace quorvelin
