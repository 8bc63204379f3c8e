#pragma once
// The errors that mean the device has gone.

#include <string_view>

#include "errors/serial_error.h"

namespace quorvelin::port {

inline constexpr std::string_view DISCONNECT_TEXT =
    "device reports readiness to read but returned no data (device disconnected or multiple access on port?)";

inline SerialError disconnect_error() { return SerialError::io(std::nullopt, std::string(DISCONNECT_TEXT)); }

// EIO, ENXIO and ENODEV, or the readiness-without-data error.
inline bool is_disconnect(const SerialError& error) {
    if (error.kind() != SerialError::Kind::Io) {
        return false;
    }
    if (auto number = error.os_errno()) {
        return *number == 5 || *number == 6 || *number == 19;
    }
    return error.payload() == DISCONNECT_TEXT;
}

}  // namespace quorvelin::port
