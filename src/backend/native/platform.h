#pragma once
// The terminal settings made by this layer itself, beyond the standard line settings:
// software flow control, mark and space parity, input parity checking, and RTS with DTR
// driven together.

#include <optional>

#include "errors/result.h"
#include "port/port_settings.h"

namespace quorvelin::native {
class Device;
}

namespace quorvelin::native::platform {

// Input flags: INPCK and ISTRIP off; IXON and IXOFF from `xonxoff` (IXANY kept when on,
// cleared when off). Control flags: CMSPAR with PARENB for mark (with PARODD) and space
// (without); other parities keep PARENB and PARODD. Failures as OS errors.
Status apply(Device& device, const PortSettings& settings);

// Drives the lines given (absent = leave alone): both in one TIOCMSET, or one at a time,
// DTR first. EINVAL and ENOTTY (devices without modem lines) count as success but still
// end the update.
Status set_lines(Device& device, std::optional<bool> rts, std::optional<bool> dtr);

}  // namespace quorvelin::native::platform
