#include "backend/native/device.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <utility>

#include "backend/native/library_error.h"
#include "backend/native/line_steps.h"
#include "backend/native/modem_lines.h"
#include "backend/native/platform.h"
#include "backend/native/retry.h"
#include "backend/native/syscalls.h"
#include "backend/native/terminal_attributes.h"

namespace quorvelin::native {

Device::Device(int fd, Syscalls& syscalls, pid_t owner_pid)
    : fd_(fd), syscalls_(&syscalls), owner_pid_(owner_pid) {}

Device::Device(Device&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), syscalls_(other.syscalls_), owner_pid_(other.owner_pid_) {}

Device& Device::operator=(Device&& other) noexcept {
    if (this != &other) {
        destroy();
        fd_ = std::exchange(other.fd_, -1);
        syscalls_ = other.syscalls_;
        owner_pid_ = other.owner_pid_;
    }
    return *this;
}

Device::~Device() { destroy(); }

void Device::destroy() {
    if (fd_ < 0) {
        return;
    }
    // After fork the open file is shared with the parent: clearing the exclusive mode or
    // unlocking would take them away from the parent's port too. The lock is never
    // released explicitly; it goes with the last descriptor of the open file.
    if (opened_in_this_process()) {
        retry_on_eintr([&] { return syscalls_->ioctl(fd_, TIOCNXCL, nullptr); });
    }
    syscalls_->close(std::exchange(fd_, -1));
}

bool Device::opened_in_this_process() const { return syscalls_->getpid() == owner_pid_; }

Status Device::configure(const PortSettings& settings, bool rts, bool dtr) {
    if (Status s = apply_data_bits(*this, settings.bytesize); !s) return s;
    if (Status s = apply_parity(*this, settings.parity); !s) return s;
    if (Status s = apply_stop_bits(*this, settings.stopbits); !s) return s;
    if (Status s = apply_flow_control(*this, settings.rtscts); !s) return s;
    if (Status s = platform::apply(*this, settings); !s) return s;
    if (Status s = apply_baud_rate(*this, settings.baudrate); !s) return s;
    // Flow control owns RTS, and DSR/DTR handshaking owns DTR: configure leaves them alone.
    return platform::set_lines(*this, settings.rtscts ? std::nullopt : std::optional(rts),
                               settings.dsrdtr ? std::nullopt : std::optional(dtr));
}

void Device::reapply_best_effort(const PortSettings& settings, bool rts, bool dtr) {
    (void)apply_data_bits(*this, settings.bytesize);
    (void)apply_parity(*this, settings.parity);
    (void)apply_stop_bits(*this, settings.stopbits);
    (void)apply_flow_control(*this, settings.rtscts);
    (void)platform::apply(*this, settings);
    (void)apply_baud_rate(*this, settings.baudrate);
    (void)platform::set_lines(*this, settings.rtscts ? std::nullopt : std::optional(rts),
                              settings.dsrdtr ? std::nullopt : std::optional(dtr));
}

Status Device::reconfigure(const PortSettings& next, const PortSettings& previous, bool rts,
                           bool dtr) {
    Status status = configure(next, rts, dtr);
    if (!status) {
        reapply_best_effort(previous, rts, dtr);
    }
    return status;
}

Status Device::set_rts(bool level) { return drive_modem_lines(*this, TIOCM_RTS, level); }

Status Device::set_dtr(bool level) { return drive_modem_lines(*this, TIOCM_DTR, level); }

Result<bool> Device::modem_bit(int bit) {
    Result<int> bits = read_modem_bits(*this);
    if (!bits) {
        return std::move(bits).error();
    }
    return (*bits & bit) != 0;
}

Result<bool> Device::cts() { return modem_bit(TIOCM_CTS); }
Result<bool> Device::dsr() { return modem_bit(TIOCM_DSR); }
Result<bool> Device::ri() { return modem_bit(TIOCM_RI); }
Result<bool> Device::cd() { return modem_bit(TIOCM_CD); }

namespace {

Result<std::size_t> queue_count(Device& device, unsigned long request) {
    int count = 0;
    if (retry_on_eintr([&] { return device.syscalls().ioctl(device.fileno(), request, &count); }) == -1) {
        return library_os_error(errno);
    }
    return static_cast<std::size_t>(count < 0 ? 0 : count);
}

}  // namespace

Result<std::size_t> Device::in_waiting() { return queue_count(*this, FIONREAD); }

Result<std::size_t> Device::out_waiting() { return queue_count(*this, TIOCOUTQ); }

Status Device::clear_buffers(bool input, bool output) {
    if (!input && !output) {
        return ok_status();
    }
    int queue = input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH;
    if (retry_on_eintr([&] { return syscalls_->tcflush(fd_, queue); }) == -1) {
        return library_os_error(errno);
    }
    return ok_status();
}

Status Device::set_break_state(bool on) {
    unsigned long request = on ? TIOCSBRK : TIOCCBRK;
    if (retry_on_eintr([&] { return syscalls_->ioctl(fd_, request, nullptr); }) == -1) {
        return library_os_error(errno);
    }
    return ok_status();
}

Status drain_descriptor(Syscalls& syscalls, int fd) {
    if (retry_on_eintr([&] { return syscalls.tcdrain(fd); }) == -1) {
        return SerialError::from_os_error(errno);
    }
    return ok_status();
}

Result<Drain> Device::drain_handle() {
    int copy = retry_on_eintr([&] { return syscalls_->dup_cloexec(fd_); });
    if (copy == -1) {
        return SerialError::from_os_error(errno);
    }
    // The drain can outlive this device (a flush dropped while it waits goes on), so it
    // holds the call table, not the device.
    Syscalls* sys = syscalls_;
    return Drain(
        copy, [sys](int fd) { return drain_descriptor(*sys, fd); },
        [sys](int fd) { sys->close(fd); });
}

IoAttempt Device::read_some(std::span<std::uint8_t> buffer) {
    if (buffer.empty()) {
        return IoAttempt::ready(0);
    }
    ssize_t n = retry_on_eintr([&] { return syscalls_->read(fd_, buffer.data(), buffer.size()); });
    if (n > 0) {
        return IoAttempt::ready(static_cast<std::size_t>(n));
    }
    if (n == -1) {
        return errno == EAGAIN || errno == EWOULDBLOCK ? IoAttempt::would_block()
                                                       : IoAttempt::failed(errno);
    }
    // No data: only a hung-up device is gone. Anything else (another process switched
    // the terminal to VMIN 0) is an empty queue, to be waited on like EAGAIN.
    pollfd probe{fd_, POLLIN, 0};
    int ready = retry_on_eintr([&] { return syscalls_->poll(&probe, 1, 0); });
    if (ready == -1) {
        return IoAttempt::failed(errno);
    }
    if (ready == 1 && (probe.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        return IoAttempt::vanished();
    }
    return IoAttempt::would_block();
}

IoAttempt Device::write_some(std::span<const std::uint8_t> data) {
    if (data.empty()) {
        return IoAttempt::ready(0);
    }
    ssize_t n = retry_on_eintr([&] { return syscalls_->write(fd_, data.data(), data.size()); });
    if (n >= 0) {
        return IoAttempt::ready(static_cast<std::size_t>(n));
    }
    return errno == EAGAIN || errno == EWOULDBLOCK ? IoAttempt::would_block()
                                                   : IoAttempt::failed(errno);
}

}  // namespace quorvelin::native
