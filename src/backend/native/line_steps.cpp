#include "backend/native/line_steps.h"

#include <string>

#include "backend/native/device.h"
#include "backend/native/library_error.h"
#include "backend/native/terminal_attributes.h"

namespace quorvelin::native {

namespace {

// Read, change, write back: one library step.
template <class Change>
Status update_attributes(Device& device, Change&& change) {
    TerminalAttributes attributes{};
    if (int err = get_attributes(device.syscalls(), device.fileno(), attributes)) {
        return library_os_error(err);
    }
    change(attributes);
    if (int err = set_attributes(device.syscalls(), device.fileno(), attributes)) {
        return library_os_error(err);
    }
    return ok_status();
}

// UART drivers may only come close to an arbitrary rate; within 3 % a link still works.
bool close_enough(std::uint32_t actual, std::uint32_t wanted) {
    std::uint64_t difference = actual > wanted ? actual - wanted : wanted - actual;
    return difference * 100 <= std::uint64_t{wanted} * 3;
}

Status check_speed(Device& device, std::uint32_t baudrate) {
    TerminalAttributes attributes{};
    if (int err = get_attributes(device.syscalls(), device.fileno(), attributes)) {
        return library_os_error(err);
    }
    if (!close_enough(attributes.c_ospeed, baudrate)) {
        return library_invalid_input("the device does not support baud rate " +
                                     std::to_string(baudrate) + " (it runs at " +
                                     std::to_string(attributes.c_ospeed) + ")");
    }
    return ok_status();
}

}  // namespace

Status apply_data_bits(Device& device, std::uint8_t bytesize) {
    return update_attributes(device, [&](TerminalAttributes& a) {
        a.c_cflag &= ~CSIZE;
        switch (bytesize) {
            case 5: a.c_cflag |= CS5; break;
            case 6: a.c_cflag |= CS6; break;
            case 7: a.c_cflag |= CS7; break;
            default: a.c_cflag |= CS8; break;
        }
    });
}

Status apply_parity(Device& device, Parity parity) {
    return update_attributes(device, [&](TerminalAttributes& a) {
        a.c_cflag &= ~(PARENB | PARODD);
        if (parity == Parity::Even) {
            a.c_cflag |= PARENB;
        } else if (parity == Parity::Odd) {
            a.c_cflag |= PARENB | PARODD;
        }
    });
}

Status apply_stop_bits(Device& device, StopBits stopbits) {
    return update_attributes(device, [&](TerminalAttributes& a) {
        if (stopbits == StopBits::One) {
            a.c_cflag &= ~CSTOPB;
        } else {
            a.c_cflag |= CSTOPB;
        }
    });
}

Status apply_flow_control(Device& device, bool rtscts) {
    return update_attributes(device, [&](TerminalAttributes& a) {
        if (rtscts) {
            a.c_cflag |= CRTSCTS;
        } else {
            a.c_cflag &= ~CRTSCTS;
        }
    });
}

Status apply_baud_rate(Device& device, std::uint32_t baudrate) {
    Status set = update_attributes(device, [&](TerminalAttributes& a) { set_speed(a, baudrate); });
    if (!set) {
        return set;
    }
    return check_speed(device, baudrate);
}

Status apply_raw_mode(Device& device, std::uint32_t baudrate) {
    constexpr tcflag_t kCflagOff = PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
    constexpr tcflag_t kCflagOn = CREAD | CLOCAL;
    Status set = update_attributes(device, [&](TerminalAttributes& a) {
        a.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF);
        a.c_oflag &= ~OPOST;
        a.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
        a.c_cflag = (a.c_cflag & ~(kCflagOff | CSIZE)) | kCflagOn | CS8;
        // VMIN 0 would make a read of an empty device return 0 bytes, which is
        // indistinguishable from a hang-up; with VMIN 1 and O_NONBLOCK it reports EAGAIN.
        a.c_cc[VMIN] = 1;
        a.c_cc[VTIME] = 0;
        set_speed(a, baudrate);
    });
    if (!set) {
        return set;
    }
    TerminalAttributes now{};
    if (int err = get_attributes(device.syscalls(), device.fileno(), now)) {
        return library_os_error(err);
    }
    if ((now.c_cflag & CSIZE) != CS8 || (now.c_cflag & kCflagOff) != 0 ||
        (now.c_cflag & kCflagOn) != kCflagOn ||
        (now.c_lflag & ICANON) != 0 || now.c_cc[VMIN] != 1 || now.c_cc[VTIME] != 0) {
        return library_failure("the device did not take the raw 8N1 settings");
    }
    return check_speed(device, baudrate);
}

}  // namespace quorvelin::native
