#pragma once
// Single modem-line requests as whole units: their failures are library errors.

#include "errors/result.h"

namespace quorvelin::native {

class Device;

// The TIOCM_* bits of the device (TIOCMGET).
Result<int> read_modem_bits(Device& device);
// Raises (TIOCMBIS) or drops (TIOCMBIC) the lines in `bits`.
Status drive_modem_lines(Device& device, int bits, bool level);

}  // namespace quorvelin::native
