#pragma once
// PortCore: the shared state of one serial port. Shared by the Python object, every running
// operation and a transport; lives as long as its last holder.
//
// Lock order: `state` before `settings` when both are held, and a backend's own locks only
// inside `state`; a notifier's lock is never held while either is taken. None is ever held
// across a wait; the asynchronous locks serialise whole operations instead. `state` is
// exclusive except for the read and write attempts, which share it (see port/state_mutex.h).
// Before fork() the fork guard takes the state, settings and notifier locks of every port in
// this order (runtime/fork_guard.h), so a forked child can still close and configure its ports.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "backend/backend.h"
#include "port/port_settings.h"
#include "port/start.h"
#include "port/state_mutex.h"
#include "runtime/async_mutex.h"
#include "runtime/fork_guard.h"
#include "runtime/notify.h"
#include "runtime/operation.h"
#include "runtime/sleep.h"
#include "settings/seconds.h"

namespace quorvelin {

namespace port {

struct State {
    std::unique_ptr<Backend> backend;  // absent while the port is closed
    // The device's error when the port closed itself because the device went away; kept
    // until the port is opened again.
    std::optional<SerialError> disconnect_cause;
};

}  // namespace port

class CancelWrite;

class PortCore {
public:
    PortCore() = default;
    PortCore(const PortCore&) = delete;
    PortCore& operator=(const PortCore&) = delete;

    static std::shared_ptr<PortCore> make() { return std::make_shared<PortCore>(); }

    Status open();
    // Installs a backend that the caller opened itself (tests script their own); the port
    // must be closed.
    void adopt(std::unique_ptr<Backend> backend);
    // Takes the backend out, wakes every waiting operation, then closes the device.
    void close();
    // The same when an operation found the device gone: when this call is the one that takes
    // the backend out, `cause` is recorded before any waiting operation is woken.
    void close_for(const SerialError& cause);
    // What made the port close itself, if it did since it was last opened.
    std::optional<SerialError> disconnect_cause();
    bool is_open();
    std::optional<std::string> port();
    Status set_port(std::optional<std::string> name);
    // Sets the break level asked for by the caller (a later clean-up never undoes it).
    Status set_break_condition(bool level);
    // Turns the break on for a timed break; the token identifies this setting for its guard.
    Result<std::uint64_t> begin_break();
    // Turns the break off unless the level was set again since `token` was handed out.
    void end_break_unless_changed(std::uint64_t token);

    Result<std::optional<std::int32_t>> fileno();
    Result<bool> cd();
    Result<bool> ri();
    Result<bool> cts();
    Result<bool> dsr();
    Result<std::size_t> in_waiting();
    Result<std::size_t> out_waiting();
    Status reset_input_buffer();
    Status reset_output_buffer();

    // One read attempt into `buffer` (PortNotOpen when closed).
    runtime::Poll<Result<std::size_t>> poll_read_some(runtime::Context& cx, std::span<std::uint8_t> buffer);
    // One write attempt of `data` (PortNotOpen when closed).
    runtime::Poll<Result<std::size_t>> poll_write_some(runtime::Context& cx, std::span<const std::uint8_t> data);

    // Runs `f(Backend&)` under the state mutex; PortNotOpen when closed. A Result returned by
    // `f` is passed through as it is.
    template <class F>
    auto with_backend(F&& f) {
        using R = std::invoke_result_t<F, Backend&>;
        using Out = std::conditional_t<is_result<R>::value, R, Result<R>>;
        std::lock_guard lock(state_mutex_);
        if (!state_.backend) {
            return Out(SerialError::port_not_open());
        }
        return Out(f(*state_.backend));
    }

    // Runs `f(Backend*)` under the state mutex; the pointer is null while closed. The settings
    // may be taken inside it (the lock order allows that).
    template <class F>
    auto with_state(F&& f) {
        std::lock_guard lock(state_mutex_);
        return f(state_.backend.get());
    }

    // Runs `f(PortSettings&)` under the settings mutex.
    template <class F>
    auto with_settings(F&& f) {
        std::lock_guard lock(settings_mutex_);
        return f(settings_);
    }
    PortSettings settings_snapshot() {
        return with_settings([](PortSettings& s) { return s; });
    }

    // The read operations: each takes the read lock, then runs through until_closed.
    static runtime::Operation<std::string> read(std::shared_ptr<PortCore> core, std::size_t size);
    static runtime::Operation<std::string> read_until(std::shared_ptr<PortCore> core, std::string terminator,
                                                      std::optional<std::size_t> size);
    static runtime::Operation<std::string> readline(std::shared_ptr<PortCore> core, std::optional<std::size_t> size);
    static runtime::Operation<std::vector<std::string>> readlines(std::shared_ptr<PortCore> core,
                                                                  std::optional<std::size_t> hint);
    // The same read begun by plain calls (see port/start.h), for a first poll that is likely
    // to finish it. When another read holds the lock nothing is done and both members are
    // empty: the caller builds the whole read instead.
    static port::Begun<std::string> begin_read(const std::shared_ptr<PortCore>& core, std::size_t size,
                                               runtime::Context& cx);
    // One chunk of at most `limit` bytes (at least 1) without deadline.
    static runtime::Operation<std::string> read_available(std::shared_ptr<PortCore> core, std::size_t limit);

    // The write-side operations: each takes the write lock, then runs through until_closed.
    // `data` must outlive the operation.
    static runtime::Operation<std::size_t> write_with(std::shared_ptr<PortCore> core,
                                                      std::span<const std::uint8_t> data, bool ignore_write_timeout);
    // The write of owned data with the write timeout, begun as begin_read begins a read; the
    // data is taken from `data` only when `rest` is returned, which then owns it.
    static port::Begun<std::size_t> begin_write(const std::shared_ptr<PortCore>& core, std::string& data,
                                                runtime::Context& cx);
    static runtime::Operation<Unit> flush(std::shared_ptr<PortCore> core);
    static runtime::Operation<Unit> send_break(std::shared_ptr<PortCore> core, settings::Duration duration);

    runtime::AsyncMutex& read_lock() { return read_lock_; }
    runtime::AsyncMutex& write_lock() { return write_lock_; }
    runtime::Notify& closed() { return closed_; }
    runtime::Notify& cancel_read() { return cancel_read_; }
    runtime::Notify& cancel_write() { return cancel_write_; }

private:
    // Reads at most buffer.size() bytes once data is there; nothing when the deadline passed
    // or a cancel request came first.
    static runtime::Operation<std::optional<std::size_t>> read_chunk(PortCore& core, std::span<std::uint8_t> buffer,
                                                                     std::optional<runtime::Instant> deadline);
    // A begun read, from its first attempt on.
    static runtime::Operation<std::string> read_rest(std::shared_ptr<PortCore> core, runtime::AsyncMutexGuard lock,
                                                     std::size_t size, port::ReadStart start);
    static runtime::Operation<std::string> read_locked(PortCore& core, std::size_t size, port::ReadStart start);
    static runtime::Operation<std::string> read_until_locked(PortCore& core, std::optional<std::size_t> size,
                                                             std::string_view terminator, bool per_byte_timeout);
    static runtime::Operation<std::string> read_available_locked(PortCore& core, std::size_t limit);
    static runtime::Operation<std::vector<std::string>> readlines_locked(PortCore& core,
                                                                         std::optional<std::size_t> hint);
    static runtime::Operation<std::size_t> write_body(PortCore& core, std::span<const std::uint8_t> data,
                                                      bool ignore_write_timeout, port::WriteStart start);
    // A begun write of owned data, from its first attempt on.
    static runtime::Operation<std::size_t> write_owned_rest(std::shared_ptr<PortCore> core,
                                                            runtime::AsyncMutexGuard lock, CancelWrite cancel_guard,
                                                            std::string data, port::WriteStart start);
    static runtime::Operation<Unit> drain(PortCore& core);
    static runtime::Operation<Unit> break_body(std::shared_ptr<PortCore> core, settings::Duration duration);

    template <class T>
    struct is_result : std::false_type {};
    template <class T>
    struct is_result<Result<T>> : std::true_type {};

    port::StateMutex state_mutex_;
    runtime::ForkLock state_fork_lock_{state_mutex_, runtime::ForkLockLevel::PortState};
    port::State state_;
    std::mutex settings_mutex_;
    runtime::ForkLock settings_fork_lock_{settings_mutex_, runtime::ForkLockLevel::PortSettings};
    PortSettings settings_;
    // Counts the settings of the break level, under settings_mutex_: a cancelled break's
    // guard runs later on a worker and must not undo a level set after the cancel.
    std::uint64_t break_settings_ = 0;
    runtime::AsyncMutex read_lock_;
    runtime::AsyncMutex write_lock_;
    runtime::Notify closed_;
    runtime::Notify cancel_read_;
    runtime::Notify cancel_write_;
};

// Held by a write for its whole run; when it ends, tells an open backend that the write is over.
class CancelWrite {
public:
    explicit CancelWrite(std::shared_ptr<PortCore> core) : core_(std::move(core)) {}
    // Handed from a write's first attempt to the rest of it; the moved-from guard does nothing.
    CancelWrite(CancelWrite&&) noexcept = default;
    CancelWrite(const CancelWrite&) = delete;
    CancelWrite& operator=(const CancelWrite&) = delete;
    ~CancelWrite();

private:
    std::shared_ptr<PortCore> core_;
};

// Armed while a break is on; ending armed turns the break off (errors ignored), unless the
// level was set again meanwhile.
class BreakGuard {
public:
    BreakGuard(std::shared_ptr<PortCore> core, std::uint64_t token) : core_(std::move(core)), token_(token) {}
    BreakGuard(const BreakGuard&) = delete;
    BreakGuard& operator=(const BreakGuard&) = delete;
    ~BreakGuard();

    void disarm() { core_.reset(); }

private:
    std::shared_ptr<PortCore> core_;
    std::uint64_t token_;
};

}  // namespace quorvelin
