#include "backend/loopback/loopback_port.h"

#include <algorithm>

namespace quorvelin {

using runtime::Context;
using runtime::Poll;

namespace {

// Wakes and clears a stored waker; called with the state locked, as the port's rule says.
void wake_taken(std::optional<runtime::Waker>& slot) {
    if (slot) {
        runtime::Waker waker = std::move(*slot);
        slot.reset();
        waker.wake();
    }
}

}  // namespace

LoopbackPort::LoopbackPort(bool rts, bool dtr) {
    state_.rts = rts;
    state_.dtr = dtr;
}

Poll<Result<std::size_t>> LoopbackPort::poll_write(Context& cx, std::span<const std::uint8_t> data) {
    std::lock_guard lock(mutex_);
    std::size_t room = LOOPBACK_CAPACITY - state_.buffer.size();
    std::size_t n = std::min(room, data.size());
    if (data.empty() || n > 0) {
        state_.buffer.insert(state_.buffer.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n));
        wake_taken(state_.read_waker);
        return Result<std::size_t>(n);
    }
    state_.write_waker = cx.waker();
    return runtime::pending;
}

Poll<Result<std::size_t>> LoopbackPort::poll_read(Context& cx, std::span<std::uint8_t> buffer) {
    std::lock_guard lock(mutex_);
    if (!state_.buffer.empty()) {
        std::size_t n = std::min(state_.buffer.size(), buffer.size());
        auto end = state_.buffer.begin() + static_cast<std::ptrdiff_t>(n);
        std::copy(state_.buffer.begin(), end, buffer.begin());
        state_.buffer.erase(state_.buffer.begin(), end);
        wake_taken(state_.write_waker);
        return Result<std::size_t>(n);
    }
    state_.read_waker = cx.waker();
    return runtime::pending;
}

Poll<Status> LoopbackPort::poll_flush(Context&) { return ok_status(); }

Poll<Status> LoopbackPort::poll_shutdown(Context&) { return ok_status(); }

Poll<Result<std::size_t>> LoopbackPort::poll_write_vectored(Context& cx,
                                                            std::span<const std::span<const std::uint8_t>> spans) {
    for (const auto& span : spans) {
        if (!span.empty()) {
            return poll_write(cx, span);
        }
    }
    return poll_write(cx, {});
}

Status LoopbackPort::configure(const PortSettings&, bool rts, bool dtr) {
    std::lock_guard lock(mutex_);
    state_.rts = rts;
    state_.dtr = dtr;
    return ok_status();
}

void LoopbackPort::reapply(const PortSettings& settings, bool rts, bool dtr) {
    (void)configure(settings, rts, dtr);
}

Status LoopbackPort::set_rts(bool level) {
    std::lock_guard lock(mutex_);
    state_.rts = level;
    return ok_status();
}

Status LoopbackPort::set_dtr(bool level) {
    std::lock_guard lock(mutex_);
    state_.dtr = level;
    return ok_status();
}

Result<bool> LoopbackPort::cts() {
    std::lock_guard lock(mutex_);
    return state_.rts;
}

Result<bool> LoopbackPort::dsr() {
    std::lock_guard lock(mutex_);
    return state_.dtr;
}

Result<std::size_t> LoopbackPort::in_waiting() {
    std::lock_guard lock(mutex_);
    return state_.buffer.size();
}

Result<std::size_t> LoopbackPort::out_waiting() {
    std::lock_guard lock(mutex_);
    return state_.buffer.size();
}

Status LoopbackPort::clear_buffers(bool input, bool output) {
    std::lock_guard lock(mutex_);
    if (input || output) {
        state_.buffer.clear();
        // Only a writer can make progress now; a waiting reader still has nothing.
        wake_taken(state_.write_waker);
    }
    return ok_status();
}

}  // namespace quorvelin
