#include "backend/native/platform.h"

#include <sys/ioctl.h>

#include "backend/native/device.h"
#include "backend/native/modem_lines.h"
#include "backend/native/retry.h"
#include "backend/native/syscalls.h"
#include "backend/native/terminal_attributes.h"

namespace quorvelin::native::platform {

Status apply(Device& device, const PortSettings& settings) {
    TerminalAttributes a{};
    if (int err = get_attributes(device.syscalls(), device.fileno(), a)) {
        return SerialError::from_os_error(err);
    }
    a.c_iflag &= ~(INPCK | ISTRIP);
    if (settings.xonxoff) {
        a.c_iflag |= IXON | IXOFF;
    } else {
        a.c_iflag &= ~(IXON | IXOFF | IXANY);
    }
    a.c_cflag &= ~CMSPAR;
    if (settings.parity == Parity::Mark) {
        a.c_cflag |= CMSPAR | PARENB | PARODD;
    } else if (settings.parity == Parity::Space) {
        a.c_cflag |= CMSPAR | PARENB;
        a.c_cflag &= ~PARODD;
    }
    if (int err = set_attributes(device.syscalls(), device.fileno(), a)) {
        return SerialError::from_os_error(err);
    }
    return ok_status();
}

namespace {

Status set_both_lines(Device& device, bool rts, bool dtr) {
    Syscalls& sys = device.syscalls();
    int bits = 0;
    if (retry_on_eintr([&] { return sys.ioctl(device.fileno(), TIOCMGET, &bits); }) == -1) {
        return SerialError::from_os_error(errno);
    }
    bits &= ~(TIOCM_RTS | TIOCM_DTR);
    bits |= (rts ? TIOCM_RTS : 0) | (dtr ? TIOCM_DTR : 0);
    if (retry_on_eintr([&] { return sys.ioctl(device.fileno(), TIOCMSET, &bits); }) == -1) {
        return SerialError::from_os_error(errno);
    }
    return ok_status();
}

Status set_lines_in_turn(Device& device, std::optional<bool> rts, std::optional<bool> dtr) {
    if (dtr) {
        if (Status status = drive_modem_lines(device, TIOCM_DTR, *dtr); !status) {
            return status;
        }
    }
    if (rts) {
        return drive_modem_lines(device, TIOCM_RTS, *rts);
    }
    return ok_status();
}

bool lacks_modem_lines(const SerialError& error) {
    return error.kind() == SerialError::Kind::Io &&
           (error.os_errno() == EINVAL || error.os_errno() == ENOTTY);
}

}  // namespace

Status set_lines(Device& device, std::optional<bool> rts, std::optional<bool> dtr) {
    Status status = rts && dtr ? set_both_lines(device, *rts, *dtr)
                               : set_lines_in_turn(device, rts, dtr);
    if (!status && lacks_modem_lines(status.error())) {
        return ok_status();
    }
    return status;
}

}  // namespace quorvelin::native::platform
