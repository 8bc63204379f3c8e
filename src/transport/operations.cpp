// Awaited pollables are named locals, never temporaries of the co_await expression (see
// src/port/read.cpp).

#include "transport/operations.h"

#include <memory>
#include <optional>
#include <span>

#include "port/disconnect.h"
#include "runtime/random_order.h"
#include "runtime/runtime.h"

namespace quorvelin::transport {

using runtime::Operation;

namespace {

// The transport's read as one leaf, in the steps the port's own chunk read takes: the read
// lock; then, watching for a close from the open check on, one attempt into a buffer of
// READ_LIMIT bytes raced against a cancel request; a disconnect closes the port, with the lock
// still held. Each race polls its sides in a random order, and the loser goes as soon as it is
// decided. Built as a stack of coroutines (the chunk read, the close guard, two races, the
// locked body) the same steps cost more than the read itself: a frame and a poll each, on
// every read and again at every wake-up.
//
// The period comes last at each poll, so data that is there at the end of the period still
// counts; once it is over the read is abandoned (take_read() tells nothing came).
class TransportRead {
public:
    TransportRead(PortCore& core, ReadPeriod::Wait period, std::shared_ptr<ReadBuffer> buffers)
        : core_(core), buffers_(std::move(buffers)), period_(std::move(period)) {}
    TransportRead(const TransportRead&) = delete;
    TransportRead& operator=(const TransportRead&) = delete;
    ~TransportRead() { abandon(); }

    // The bytes or the error; nothing once the period is over.
    runtime::Poll<std::optional<Result<std::string>>> poll(runtime::Context& cx) {
        auto read = poll_read(cx);
        if (read.is_ready()) {
            return std::optional<Result<std::string>>(read.take());
        }
        if (period_.poll(cx).is_ready()) {
            abandon();
            return std::optional<Result<std::string>>();
        }
        return runtime::pending;
    }

    // Drops what a read still holds (its lock first of all): before the result is handed
    // on, and for an abandoned read.
    void abandon() {
        cancel_.reset();
        give_back();
        closed_.reset();
        guard_.reset();
        locking_.reset();
    }

private:
    runtime::Poll<Result<std::string>> poll_read(runtime::Context& cx) {
        if (!guard_) {
            if (!locking_) {
                locking_.emplace(core_.read_lock().lock());
            }
            auto locked = locking_->poll(cx);
            if (locked.is_pending()) {
                return runtime::pending;
            }
            guard_.emplace(locked.take());
            locking_.reset();
            // Registered before the open check, so a close from this moment on is seen.
            closed_.emplace(core_.closed().notified());
            closed_->enable();
            if (!core_.is_open()) {
                return finish(SerialError::port_not_open());  // the attempt never starts
            }
        }
        if (runtime::random_coin()) {
            if (auto done = poll_body(cx)) {
                closed_.reset();
                return finish(std::move(*done));
            }
            if (closed_->poll(cx).is_ready()) {
                return finish(closed_out());
            }
        } else {
            if (closed_->poll(cx).is_ready()) {
                return finish(closed_out());
            }
            if (auto done = poll_body(cx)) {
                closed_.reset();
                return finish(std::move(*done));
            }
        }
        return runtime::pending;
    }

    // The chunk read: an attempt raced against a cancel request, which ends it with nothing.
    std::optional<Result<std::string>> poll_body(runtime::Context& cx) {
        if (!buffer_) {
            // Uninitialised: only the bytes a read stores are ever looked at.
            buffer_ = buffers_->take();
            // Not registered in advance: its first poll takes a request stored while no read
            // waited.
            cancel_.emplace(core_.cancel_read().notified());
        }
        std::optional<Result<std::string>> done;
        if (runtime::random_coin()) {
            if (cancel_->poll(cx).is_ready()) {
                done.emplace(std::string());
            } else {
                done = attempt(cx);
            }
        } else {
            done = attempt(cx);
            if (!done && cancel_->poll(cx).is_ready()) {
                done.emplace(std::string());
            }
        }
        if (done) {
            cancel_.reset();
            give_back();
        }
        return done;
    }

    void give_back() {
        if (buffer_) {
            buffers_->give(std::move(buffer_));
        }
    }

    std::optional<Result<std::string>> attempt(runtime::Context& cx) {
        auto polled = core_.poll_read_some(cx, std::span(buffer_.get(), buffers_->size()));
        if (polled.is_pending()) {
            return std::nullopt;
        }
        Result<std::size_t> count = polled.take();
        if (!count.ok()) {
            return Result<std::string>(std::move(count).error());
        }
        if (count.value() == 0) {
            return Result<std::string>(port::disconnect_error());
        }
        return Result<std::string>(std::string(reinterpret_cast<const char*>(buffer_.get()), count.value()));
    }

    // The close won the race: the attempt and its cancel request go first.
    SerialError closed_out() {
        cancel_.reset();
        give_back();
        closed_.reset();
        return SerialError::port_not_open();
    }

    // A device that has gone closes the port before its error is handed on, while the read
    // lock is still held.
    Result<std::string> finish(Result<std::string> result) {
        if (!result.ok() && port::is_disconnect(result.error())) {
            core_.close_for(result.error());
        }
        abandon();
        return result;
    }

    PortCore& core_;
    std::shared_ptr<ReadBuffer> buffers_;
    // Declared in the order the chunk read takes them, so the destructor drops them in the
    // reverse one, as the stack of coroutines did.
    std::optional<runtime::LockFuture> locking_;
    std::optional<runtime::AsyncMutexGuard> guard_;
    std::optional<runtime::Notified> closed_;
    std::unique_ptr<std::uint8_t[]> buffer_;
    std::optional<runtime::Notified> cancel_;
    ReadPeriod::Wait period_;  // withdrawn last
};

// When the device goes away, whichever direction sees it first closes the port and the others
// then end with PortNotOpen: they report the device's error instead, so the protocol learns
// the first cause whatever order the loop takes the completions in. A port that the user
// closed has no cause recorded and stays PortNotOpen. Takes the operation's port reference, so
// it is let go before the result is handed on, as on every other path.
SerialError first_cause(std::shared_ptr<PortCore> port, SerialError error) {
    if (error.kind() == SerialError::Kind::PortNotOpen) {
        if (std::optional<SerialError> cause = port->disconnect_cause()) {
            return std::move(*cause);
        }
    }
    return error;
}

}  // namespace

Operation<Outcome> read_op(std::shared_ptr<PortCore> port) {
    Result<runtime::Owned*> owned = runtime::runtime();
    if (!owned) {
        return [](SerialError error) -> Operation<Outcome> { co_return error; }(std::move(owned).error());
    }
    return read_op(std::move(port), ReadPeriod::make(owned.value()->runtime->io()),
                   std::make_shared<ReadBuffer>(READ_LIMIT));
}

Operation<Outcome> read_op(std::shared_ptr<PortCore> port, std::shared_ptr<ReadPeriod> period,
                           std::shared_ptr<ReadBuffer> buffer) {
    // The body is lazy, so this runs at the first poll and the period counts from there.
    const runtime::Instant deadline = runtime::Clock::now() + READ_PERIOD;
    TransportRead read(*port, period->wait_until(deadline), std::move(buffer));
    auto result = co_await read;
    if (result && !result->ok()) {
        co_return first_cause(std::move(port), std::move(*result).error());
    }
    port.reset();
    if (!result) {
        co_return Outcome(std::string());
    }
    co_return Outcome(std::move(*result).value());
}

Operation<Outcome> write_op(std::shared_ptr<PortCore> port, std::string data) {
    std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
    auto write = PortCore::write_with(port, bytes, true);
    auto result = co_await write;
    if (!result.ok()) {
        co_return first_cause(std::move(port), std::move(result).error());
    }
    port.reset();
    if (result.value() != data.size()) {
        co_return SerialError::io(std::nullopt, "write ended after " + std::to_string(result.value()) + " of " +
                                                    std::to_string(data.size()) + " bytes");
    }
    co_return Outcome(result.value());
}

Operation<Outcome> drain_op(std::shared_ptr<PortCore> port) {
    auto drain = PortCore::flush(port);
    auto result = co_await drain;
    if (!result.ok()) {
        co_return first_cause(std::move(port), std::move(result).error());
    }
    port.reset();
    co_return Outcome(Unit{});
}

}  // namespace quorvelin::transport
