#pragma once
// Which failures mean the device is gone, so that the port closes instead of retrying.

#include <cerrno>
#include <string_view>

#include "errors/serial_error.h"

namespace quorvelin::native {

// What a read that reported readiness and delivered nothing turns into.
inline constexpr std::string_view kDisconnectText =
    "device reports readiness to read but returned no data (device disconnected or multiple "
    "access on port?)";

// The error numbers with which a vanished device fails reads, writes and requests.
constexpr bool is_disconnect_errno(int os_errno) {
    return os_errno == EIO || os_errno == ENXIO || os_errno == ENODEV;
}

// Whether an error means the device is gone and the port should close.
inline bool is_disconnect(const SerialError& error) {
    if (error.kind() != SerialError::Kind::Io) {
        return false;
    }
    if (error.os_errno()) {
        return is_disconnect_errno(*error.os_errno());
    }
    return error.payload() == kDisconnectText;
}

}  // namespace quorvelin::native
