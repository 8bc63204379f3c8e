#include "backend/native/native_port.h"

#include "backend/native/open.h"
#include "runtime/runtime.h"

namespace quorvelin::native {

using runtime::Context;
using runtime::Poll;

namespace {

// One attempt's outcome as the engine sees it: a vanished device reads as 0 bytes, which
// the read loop turns into the disconnect error.
Result<std::size_t> settle(const IoAttempt& attempt) {
    if (attempt.kind == IoAttempt::Kind::Failed) {
        return SerialError::from_os_error(attempt.os_errno);
    }
    return attempt.count;
}

}  // namespace

NativePort::NativePort(Device device, std::unique_ptr<runtime::FdReadiness> readiness)
    : device_(std::move(device)), readiness_(std::move(readiness)) {}

NativePort::~NativePort() {
    if (!device_.opened_in_this_process()) {
        readiness_->forget();
    }
    readiness_.reset();
}

Poll<Result<std::size_t>> NativePort::poll_read(Context& cx, std::span<std::uint8_t> buffer) {
    for (;;) {
        auto ready = readiness_->poll_read_ready(cx);
        if (ready.is_pending()) {
            return runtime::pending;
        }
        IoAttempt attempt = device_.read_some(buffer);
        if (attempt.kind == IoAttempt::Kind::WouldBlock) {
            // Readiness was stale: forget it and wait with this poll's waker.
            readiness_->clear_read_ready(ready.value());
            continue;
        }
        if (attempt.kind == IoAttempt::Kind::Ready && attempt.count < buffer.size()) {
            // The input queue is most likely empty now; the next read waits for data first
            // instead of asking for an EAGAIN.
            readiness_->spend_read_ready(ready.value());
        }
        return settle(attempt);
    }
}

Poll<Result<std::size_t>> NativePort::poll_write(Context& cx, std::span<const std::uint8_t> data) {
    for (;;) {
        auto ready = readiness_->poll_write_ready(cx);
        if (ready.is_pending()) {
            return runtime::pending;
        }
        IoAttempt attempt = device_.write_some(data);
        if (attempt.kind == IoAttempt::Kind::WouldBlock) {
            readiness_->clear_write_ready(ready.value());
            continue;
        }
        if (attempt.kind == IoAttempt::Kind::Ready && attempt.count < data.size()) {
            // The output queue is most likely full now.
            readiness_->spend_write_ready(ready.value());
        } else if (attempt.kind == IoAttempt::Kind::Ready) {
            readiness_->wrote_all();  // the writer is done with waiting for room
        }
        return settle(attempt);
    }
}

Poll<Result<std::size_t>> NativePort::poll_write_vectored(Context& cx,
                                                          std::span<const std::span<const std::uint8_t>> spans) {
    for (const auto& span : spans) {
        if (!span.empty()) {
            return poll_write(cx, span);
        }
    }
    return poll_write(cx, {});
}

Result<std::unique_ptr<Backend>> open(std::string_view name, const PortSettings& settings, bool rts, bool dtr) {
    auto owned = runtime::runtime();
    if (!owned.ok()) {
        return std::move(owned).error();
    }
    auto device = open_terminal(name, settings, rts, dtr);
    if (!device.ok()) {
        return std::move(device).error();
    }
    auto readiness = runtime::FdReadiness::register_fd(owned.value()->runtime->io(), device->fileno());
    if (!readiness.ok()) {
        return std::move(readiness).error();  // the device closes on the way out
    }
    return std::unique_ptr<Backend>(
        std::make_unique<NativePort>(std::move(device).value(), std::move(readiness).value()));
}

}  // namespace quorvelin::native
