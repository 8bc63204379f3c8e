#pragma once
// The errors that mean the device has gone: the port closes instead of retrying.

#include <cerrno>
#include <string>
#include <string_view>

#include "errors/serial_error.h"

namespace quorvelin::port {

// What a read that reported readiness and delivered nothing turns into (103 bytes).
inline constexpr std::string_view DISCONNECT_TEXT =
    "device reports readiness to read but returned no data (device disconnected or multiple access on port?)";

inline SerialError disconnect_error() { return SerialError::io(std::nullopt, std::string(DISCONNECT_TEXT)); }

// The error numbers with which a vanished device fails reads, writes and requests.
constexpr bool is_disconnect_errno(int os_errno) {
    return os_errno == EIO || os_errno == ENXIO || os_errno == ENODEV;
}

// EIO, ENXIO and ENODEV, or the readiness-without-data error; nothing else.
inline bool is_disconnect(const SerialError& error) {
    if (error.kind() != SerialError::Kind::Io) {
        return false;
    }
    if (auto number = error.os_errno()) {
        return is_disconnect_errno(*number);
    }
    return error.payload() == DISCONNECT_TEXT;
}

}  // namespace quorvelin::port
