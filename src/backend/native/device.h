#pragma once
// Device: an open terminal device, the native kind of port. It owns the descriptor and
// makes every serial-control request on it; reads and writes are single non-blocking
// attempts, so the asynchronous layer drives them by readiness on fileno().

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "backend/drain.h"
#include "backend/native/io_attempt.h"
#include "errors/result.h"
#include "port/port_settings.h"

namespace quorvelin::native {

class Syscalls;

class Device {
public:
    // Takes ownership of `fd`, opened by the process `owner_pid`.
    Device(int fd, Syscalls& syscalls, pid_t owner_pid);
    Device(Device&& other) noexcept;
    Device& operator=(Device&& other) noexcept;
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;
    // Clears the exclusive mode (errors ignored) and closes the descriptor, which releases
    // the file lock once no duplicate is left. In a forked child it only closes: the mode
    // and the lock belong to the parent's open file too.
    ~Device();

    // Applies the line settings in order, then the modem lines; stops at the first failure
    // and leaves the steps before it applied.
    Status configure(const PortSettings& settings, bool rts, bool dtr);
    // configure(next); on failure re-applies `previous` best effort, so the device agrees
    // again with the settings the caller restores, and returns the first error.
    Status reconfigure(const PortSettings& next, const PortSettings& previous, bool rts, bool dtr);
    // Runs every configure step, going on past failures, and ignores their errors.
    void reapply_best_effort(const PortSettings& settings, bool rts, bool dtr);

    Status set_rts(bool level);
    Status set_dtr(bool level);
    Result<bool> cts();
    Result<bool> dsr();
    Result<bool> ri();
    Result<bool> cd();

    Result<std::size_t> in_waiting();
    Result<std::size_t> out_waiting();
    Status clear_buffers(bool input, bool output);
    Status set_break_state(bool on);

    int fileno() const { return fd_; }
    // A close-on-exec duplicate of the descriptor to drain on a blocking thread.
    Result<Drain> drain_handle();
    // Writes are never left half-done inside the device, so there is nothing to cancel.
    Status cancel_write() { return ok_status(); }
    std::size_t detach_write() const { return 0; }

    IoAttempt read_some(std::span<std::uint8_t> buffer);
    IoAttempt write_some(std::span<const std::uint8_t> data);

    // False in a child created by fork after the open.
    bool opened_in_this_process() const;
    pid_t owner_pid() const { return owner_pid_; }
    Syscalls& syscalls() const { return *syscalls_; }

private:
    Result<bool> modem_bit(int bit);
    void destroy();

    int fd_;
    Syscalls* syscalls_;
    pid_t owner_pid_;
};

// Waits until the output of `fd` is sent (EINTR retried) and converts a failure; does not
// close `fd`.
Status drain_descriptor(Syscalls& syscalls, int fd);

}  // namespace quorvelin::native
