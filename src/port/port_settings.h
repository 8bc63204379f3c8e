#pragma once
// PortSettings: the remembered configuration of a port, valid whether it is open or not.

#include <cstdint>
#include <optional>
#include <string>

#include "settings/seconds.h"

namespace quorvelin {

enum class Parity : std::uint8_t { None = 0, Even = 1, Odd = 2, Mark = 3, Space = 4 };

enum class StopBits : std::uint8_t { One = 0, OnePointFive = 1, Two = 2 };

// Tri-state of the exclusive-access setting.
enum class Exclusive : std::uint8_t { No = 0, Yes = 1, Unset = 2 };

struct PortSettings {
    std::optional<Seconds> timeout;
    std::optional<Seconds> write_timeout;
    std::optional<Seconds> inter_byte_timeout;
    std::uint32_t baudrate = 9600;
    bool xonxoff = false;
    bool rtscts = false;
    bool dsrdtr = false;
    StopBits stopbits = StopBits::One;
    Exclusive exclusive = Exclusive::Unset;
    Parity parity = Parity::None;
    std::uint8_t bytesize = 8;  // 5 to 8
    std::optional<std::string> port;
    // Remembered line levels: RTS and DTR are applied at every open and reconfiguration,
    // the break level only when it is set.
    bool rts = true;
    bool dtr = true;
    bool break_condition = false;

    bool operator==(const PortSettings&) const = default;
};

}  // namespace quorvelin
