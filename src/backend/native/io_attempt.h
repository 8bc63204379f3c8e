#pragma once
// IoAttempt: the outcome of one non-blocking read or write on the device.

#include <cstddef>
#include <cstdint>
#include <string>

#include "port/disconnect.h"
#include "errors/serial_error.h"

namespace quorvelin::native {

struct IoAttempt {
    enum class Kind : std::uint8_t {
        Ready,       // `count` bytes moved (0 only for an empty span)
        WouldBlock,  // nothing can move now; wait for readiness
        Vanished,    // a read found the device hung up: no data will ever come
        Failed,      // the call failed with `os_errno`
    };

    Kind kind = Kind::Ready;
    std::size_t count = 0;
    int os_errno = 0;

    static IoAttempt ready(std::size_t count) { return {Kind::Ready, count, 0}; }
    static IoAttempt would_block() { return {Kind::WouldBlock, 0, 0}; }
    static IoAttempt vanished() { return {Kind::Vanished, 0, 0}; }
    static IoAttempt failed(int os_errno) { return {Kind::Failed, 0, os_errno}; }

    bool is_disconnect() const {
        return kind == Kind::Vanished || (kind == Kind::Failed && port::is_disconnect_errno(os_errno));
    }

    // The error the port engine reports for a vanished or failed attempt.
    SerialError error() const {
        if (kind == Kind::Vanished) {
            return port::disconnect_error();
        }
        return SerialError::from_os_error(os_errno);
    }

    bool operator==(const IoAttempt&) const = default;
};

}  // namespace quorvelin::native
