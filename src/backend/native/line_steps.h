#pragma once
// The standard line settings, each applied as one unit: read the attributes, change the
// field, write them back. Failures are library errors; an earlier step stays applied.

#include <cstdint>

#include "errors/result.h"
#include "port/port_settings.h"

namespace quorvelin::native {

class Device;

// 5, 6 or 7 data bits for those values, 8 for any other.
Status apply_data_bits(Device& device, std::uint8_t bytesize);
// Even or odd parity; none for every other parity (mark and space are set afterwards).
Status apply_parity(Device& device, Parity parity);
// One stop bit, or two for 1.5 and 2.
Status apply_stop_bits(Device& device, StopBits stopbits);
// Hardware (RTS/CTS) flow control or none.
Status apply_flow_control(Device& device, bool rtscts);
// Any rate, through BOTHER; fails unless the device runs at (about) that rate afterwards.
Status apply_baud_rate(Device& device, std::uint32_t baudrate);

// The state a freshly opened device is put in: raw, receiver on, modem-status lines ignored,
// 8N1 at `baudrate`, no flow control; a read of an empty device reports "would block".
// Checks that the device took it.
Status apply_raw_mode(Device& device, std::uint32_t baudrate);

}  // namespace quorvelin::native
