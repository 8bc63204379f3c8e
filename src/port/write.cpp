// The write-side operations of a port: writes with the write timeout and cancel requests,
// the flush (a drain on a blocking thread), and timed breaks. Awaited pollables are named
// locals (see read.cpp).

#include <thread>

#include "port/deadline.h"
#include "port/disconnect.h"
#include "port/poll_once.h"
#include "port/port_core.h"
#include "port/until_closed.h"
#include "runtime/direct_wait.h"
#include "runtime/runtime.h"
#include "runtime/select.h"
#include "runtime/spawn_blocking.h"

namespace quorvelin {

using port::Deadline;
using runtime::Clock;
using runtime::Context;
using runtime::Operation;

namespace {

// A write timeout stored as zero (int 0, or a float zero of either sign) asks for a
// non-blocking write; the test is on the stored value, not on the converted duration.
bool is_non_blocking(const std::optional<Seconds>& timeout) {
    if (!timeout) {
        return false;
    }
    return timeout->is_int() ? timeout->as_int() == 0 : timeout->as_float() == 0.0;
}

constexpr auto BREAK_MARGIN = std::chrono::milliseconds(5);

std::span<const std::uint8_t> as_bytes(const std::string& data) {
    return {reinterpret_cast<const std::uint8_t*>(data.data()), data.size()};
}

// The first attempt of a write that holds its lock (see port/start.h); always ready, and
// keeps what it settled in start(). It settles the write when the backend takes all the data
// at once, takes nothing of it, or fails, and when the port is closed. A stored cancel request
// is left to the full write, which races it against the attempt; non-blocking writes and
// writes that ignore the write timeout never race one, and attempt regardless.
class WriteAtOnce {
public:
    WriteAtOnce(PortCore& core, std::span<const std::uint8_t> data, bool ignore_write_timeout)
        : core_(core), data_(data), ignore_write_timeout_(ignore_write_timeout) {}

    port::WriteStart& start() { return start_; }

    runtime::Poll<Unit> poll(Context& cx) {
        port::WriteStart& start = start_;
        start.started = Clock::now();
        if (!ignore_write_timeout_) {
            start.write_timeout = core_.with_settings([](PortSettings& s) { return s.write_timeout; });
        }
        if (data_.empty()) {
            // Nothing to write: only the open check of until_closed remains.
            start.outcome = core_.is_open() ? Result<std::size_t>(std::size_t{0}) : SerialError::port_not_open();
            return Unit{};
        }
        const bool races_cancel = !ignore_write_timeout_ && !is_non_blocking(start.write_timeout);
        if (races_cancel && core_.cancel_write().has_stored_wakeup()) {
            return Unit{};
        }
        runtime::DirectWait look(runtime::DirectWait::Mode::Look);
        Context once(cx.waker(), &look);
        auto attempt = core_.poll_write_some(once, data_);
        if (attempt.is_pending()) {
            return Unit{};
        }
        Result<std::size_t> accepted = attempt.take();
        if (!accepted.ok()) {
            if (port::is_disconnect(accepted.error())) {
                core_.close_for(accepted.error());  // as until_closed does with a vanished device
            }
            start.outcome = std::move(accepted);
            return Unit{};
        }
        if (accepted.value() == 0 || accepted.value() == data_.size()) {
            start.outcome = std::move(accepted);
            return Unit{};
        }
        start.written = accepted.value();
        return Unit{};
    }

private:
    PortCore& core_;
    std::span<const std::uint8_t> data_;
    bool ignore_write_timeout_;
    port::WriteStart start_;
};

}  // namespace

Operation<std::size_t> PortCore::write_body(PortCore& core, std::span<const std::uint8_t> data,
                                            bool ignore_write_timeout, port::WriteStart start) {
    const std::optional<Seconds>& write_timeout = start.write_timeout;
    const bool non_blocking = is_non_blocking(write_timeout);
    const Deadline deadline = port::deadline_after(write_timeout, start.started);
    runtime::Notified cancel = core.cancel_write().notified();

    std::size_t written = start.written;
    for (;;) {
        if (written >= data.size()) {
            co_return written;
        }
        // Every attempt offers all the remaining bytes; the backend takes what it can.
        auto rest = data.subspan(written);
        auto attempt = runtime::poll_fn([&core, rest](Context& cx) { return core.poll_write_some(cx, rest); });

        Result<std::size_t> accepted = std::size_t{0};
        if (non_blocking) {
            auto one_attempt = port::poll_once(attempt);
            auto once = co_await one_attempt;
            if (!once) {
                auto detached = core.with_backend([](Backend& b) { return b.detach_write(); });
                if (!detached.ok()) {
                    co_return std::move(detached).error();
                }
                co_return written + detached.value();
            }
            accepted = std::move(*once);
        } else if (!deadline) {
            if (ignore_write_timeout) {
                accepted = co_await attempt;
            } else {
                auto race = runtime::select(runtime::by_ref(cancel), runtime::by_ref(attempt));
                auto raced = co_await race;
                if (raced.index() == 0) {
                    co_return written;
                }
                accepted = std::get<1>(std::move(raced));
            }
        } else {
            auto race = runtime::select(runtime::by_ref(cancel), runtime::timeout(*deadline, runtime::by_ref(attempt)));
            auto raced = co_await race;
            if (raced.index() == 0) {
                co_return written;
            }
            auto bounded = std::get<1>(std::move(raced));
            if (!bounded) {
                co_return SerialError::timeout("Write timeout");
            }
            accepted = std::move(*bounded);
        }
        if (!accepted.ok()) {
            co_return std::move(accepted).error();
        }
        if (accepted.value() == 0) {
            co_return written;
        }
        written += accepted.value();
    }
}

Operation<std::size_t> PortCore::write_with(std::shared_ptr<PortCore> core, std::span<const std::uint8_t> data,
                                            bool ignore_write_timeout) {
    auto locking = core->write_lock().lock();
    auto lock = co_await locking;
    // Declared after the lock, so it runs before the lock is released on every exit path.
    CancelWrite cancel_write_guard(core);
    auto at_once = WriteAtOnce(*core, data, ignore_write_timeout);
    co_await at_once;
    if (at_once.start().outcome) {
        co_return std::move(*at_once.start().outcome);
    }
    auto guarded =
        port::until_closed(*core, write_body(*core, data, ignore_write_timeout, std::move(at_once.start())));
    auto result = co_await guarded;
    co_return result;
}

port::Begun<std::size_t> PortCore::begin_write(const std::shared_ptr<PortCore>& core, std::string& data,
                                                Context& cx) {
    // Only a free lock: a request that would queue is left to the whole write.
    std::optional<runtime::AsyncMutexGuard> lock = core->write_lock().try_lock();
    if (!lock) {
        return {};
    }
    // Declared after the lock, so it runs before the lock is released, as in write_with().
    CancelWrite cancel_write_guard(core);
    auto at_once = WriteAtOnce(*core, as_bytes(data), false);
    (void)at_once.poll(cx);
    if (at_once.start().outcome) {
        return {std::move(at_once.start().outcome), {}};
    }
    return {std::nullopt, write_owned_rest(core, std::move(*lock), std::move(cancel_write_guard),
                                           std::move(data), std::move(at_once.start()))};
}

Operation<std::size_t> PortCore::write_owned_rest(std::shared_ptr<PortCore> core, runtime::AsyncMutexGuard given_lock,
                                                  CancelWrite given_cancel_guard, std::string data,
                                                  port::WriteStart start) {
    // Locals in the order write_with() declares them, so they are released in its order.
    runtime::AsyncMutexGuard lock = std::move(given_lock);
    CancelWrite cancel_write_guard = std::move(given_cancel_guard);
    // Of the frame's own copy of the data: a short string keeps its bytes inside the string
    // object, so a span taken before the move would point into the caller's.
    auto guarded = port::until_closed(*core, write_body(*core, as_bytes(data), false, std::move(start)));
    auto result = co_await guarded;
    co_return result;
}

Operation<Unit> PortCore::drain(PortCore& core) {
    auto handle = core.with_backend([](Backend& b) { return b.drain_handle(); });
    if (!handle.ok()) {
        co_return std::move(handle).error();
    }
    if (!handle.value().fd()) {
        co_return Unit{};  // nothing to drain
    }
    auto owned = runtime::runtime();
    if (!owned.ok()) {
        co_return std::move(owned).error();
    }
    // The blocking task owns the duplicate descriptor; dropped early, it still finishes.
    Drain descriptor = std::move(handle).value();
    auto job = runtime::spawn_blocking(owned.value()->runtime->blocking_pool(),
                                       [drain = std::move(descriptor)]() mutable { return std::move(drain).wait(); });
    auto drained = co_await job;
    if (!drained.ok()) {
        co_return SerialError::io(std::nullopt, "flush failed: " + drained.error().display());
    }
    co_return std::move(drained).value();
}

Operation<Unit> PortCore::flush(std::shared_ptr<PortCore> core) {
    auto locking = core->write_lock().lock();
    auto lock = co_await locking;
    auto guarded = port::until_closed(*core, drain(*core));
    auto result = co_await guarded;
    co_return result;
}

Operation<Unit> PortCore::break_body(std::shared_ptr<PortCore> core, settings::Duration duration) {
    Result<std::uint64_t> on = core->begin_break();
    if (!on.ok()) {
        co_return std::move(on).error();
    }
    BreakGuard guard(core, on.value());
    const auto start = Clock::now();
    const auto length = port::saturated(duration);
    if (length > BREAK_MARGIN) {
        // The timer frees the thread for all but the last few milliseconds.
        auto timer = runtime::sleep_until(start + (length - BREAK_MARGIN));
        co_await timer;
    }
    auto elapsed = Clock::now() - start;
    auto rest = elapsed >= length ? Clock::duration::zero() : length - elapsed;
    auto owned = runtime::runtime();
    if (!owned.ok()) {
        co_return std::move(owned).error();
    }
    // The operating system's sleep ends the break precisely.
    auto job = runtime::spawn_blocking(owned.value()->runtime->blocking_pool(), [rest] {
        std::this_thread::sleep_for(rest);
        return Unit{};
    });
    auto slept = co_await job;
    if (!slept.ok()) {
        co_return SerialError::io(std::nullopt, slept.error().display());  // the guard turns it off
    }
    guard.disarm();
    co_return core->set_break_condition(false);
}

Operation<Unit> PortCore::send_break(std::shared_ptr<PortCore> core, settings::Duration duration) {
    auto locking = core->write_lock().lock();
    auto lock = co_await locking;
    auto guarded = port::until_closed(*core, break_body(core, duration));
    auto result = co_await guarded;
    co_return result;
}

}  // namespace quorvelin
