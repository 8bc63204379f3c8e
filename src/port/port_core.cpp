#include "port/port_core.h"

#include <exception>
#include <shared_mutex>

namespace quorvelin {

Status PortCore::open() {
    std::lock_guard state_lock(state_mutex_);
    std::string name;
    PortSettings snapshot;
    {
        std::lock_guard settings_lock(settings_mutex_);
        if (!settings_.port) {
            return SerialError::not_configured();
        }
        name = *settings_.port;
        snapshot = settings_;
    }
    if (state_.backend) {
        return SerialError::already_open();
    }
    auto opened = backend::open(name, snapshot, snapshot.rts, snapshot.dtr);
    if (!opened) {
        return std::move(opened).error();
    }
    std::unique_ptr<Backend> backend = std::move(opened).value();
    // Input that arrived before the open belongs to nobody.
    if (Status cleared = backend->clear_buffers(true, false); !cleared) {
        return cleared;
    }
    state_.backend = std::move(backend);
    state_.disconnect_cause.reset();
    return ok_status();
}

void PortCore::adopt(std::unique_ptr<Backend> backend) {
    std::lock_guard lock(state_mutex_);
    state_.backend = std::move(backend);
    state_.disconnect_cause.reset();
}

void PortCore::close() {
    std::unique_ptr<Backend> taken;
    {
        std::lock_guard lock(state_mutex_);
        taken = std::move(state_.backend);
    }
    closed_.notify_waiters();
    taken.reset();  // closes the device outside the lock
}

void PortCore::close_for(const SerialError& cause) {
    std::unique_ptr<Backend> taken;
    {
        std::lock_guard lock(state_mutex_);
        taken = std::move(state_.backend);
        if (taken) {
            state_.disconnect_cause = cause;
        }
    }
    closed_.notify_waiters();
    taken.reset();
}

std::optional<SerialError> PortCore::disconnect_cause() {
    std::shared_lock lock(state_mutex_);
    return state_.disconnect_cause;
}

bool PortCore::is_open() {
    // Only the presence of the backend, which changes under the exclusive lock: shared, so
    // the check at the start of every read does not wait for a write attempt in progress
    // (nor hold the next attempts off behind it).
    std::shared_lock lock(state_mutex_);
    return state_.backend != nullptr;
}

std::optional<std::string> PortCore::port() {
    std::lock_guard lock(settings_mutex_);
    return settings_.port;
}

Status PortCore::set_port(std::optional<std::string> name) {
    bool was_open = is_open();
    close();
    {
        std::lock_guard lock(settings_mutex_);
        settings_.port = std::move(name);
    }
    return was_open ? open() : ok_status();
}

Status PortCore::set_break_condition(bool level) {
    {
        std::lock_guard lock(settings_mutex_);
        settings_.break_condition = level;
        ++break_settings_;
    }
    std::lock_guard lock(state_mutex_);
    if (!state_.backend) {
        return ok_status();
    }
    return state_.backend->set_break_state(level);
}

Result<std::uint64_t> PortCore::begin_break() {
    std::uint64_t token = 0;
    {
        std::lock_guard lock(settings_mutex_);
        settings_.break_condition = true;
        token = ++break_settings_;
    }
    std::lock_guard lock(state_mutex_);
    if (!state_.backend) {
        return token;
    }
    if (Status on = state_.backend->set_break_state(true); !on.ok()) {
        return std::move(on).error();
    }
    return token;
}

void PortCore::end_break_unless_changed(std::uint64_t token) {
    // The state lock is taken first and held across the check: a caller's setting either
    // comes before it (and is seen) or waits for it (and is applied after).
    std::lock_guard state_lock(state_mutex_);
    {
        std::lock_guard lock(settings_mutex_);
        if (break_settings_ != token) {
            return;
        }
        settings_.break_condition = false;
        ++break_settings_;
    }
    if (state_.backend) {
        (void)state_.backend->set_break_state(false);
    }
}

Result<std::optional<std::int32_t>> PortCore::fileno() {
    return with_backend([](Backend& b) { return Result<std::optional<std::int32_t>>(b.fileno()); });
}

Result<bool> PortCore::cd() { return with_backend([](Backend& b) { return b.cd(); }); }
Result<bool> PortCore::ri() { return with_backend([](Backend& b) { return b.ri(); }); }
Result<bool> PortCore::cts() { return with_backend([](Backend& b) { return b.cts(); }); }
Result<bool> PortCore::dsr() { return with_backend([](Backend& b) { return b.dsr(); }); }

Result<std::size_t> PortCore::in_waiting() {
    return with_backend([](Backend& b) { return b.in_waiting(); });
}

Result<std::size_t> PortCore::out_waiting() {
    return with_backend([](Backend& b) { return b.out_waiting(); });
}

Status PortCore::reset_input_buffer() {
    return with_backend([](Backend& b) { return b.clear_buffers(true, false); });
}

Status PortCore::reset_output_buffer() {
    return with_backend([](Backend& b) { return b.clear_buffers(false, true); });
}

runtime::Poll<Result<std::size_t>> PortCore::poll_read_some(runtime::Context& cx, std::span<std::uint8_t> buffer) {
    std::shared_lock lock(state_mutex_);
    if (!state_.backend) {
        return Result<std::size_t>(SerialError::port_not_open());
    }
    return state_.backend->poll_read(cx, buffer);
}

runtime::Poll<Result<std::size_t>> PortCore::poll_write_some(runtime::Context& cx,
                                                             std::span<const std::uint8_t> data) {
    std::shared_lock lock(state_mutex_);
    if (!state_.backend) {
        return Result<std::size_t>(SerialError::port_not_open());
    }
    return state_.backend->poll_write(cx, data);
}

// Both guards run from destructors, which must not throw: an error is ignored anyway, and
// so is an allocation failure while one is being made.

CancelWrite::~CancelWrite() {
    if (!core_) {
        return;  // moved on to the rest of the write
    }
    try {
        (void)core_->with_state([](Backend* backend) {
            if (backend != nullptr) {
                (void)backend->cancel_write();
            }
            return 0;
        });
    } catch (const std::exception&) {
    }
}

BreakGuard::~BreakGuard() {
    try {
        if (core_) {
            core_->end_break_unless_changed(token_);
        }
    } catch (const std::exception&) {
    }
}

}  // namespace quorvelin
