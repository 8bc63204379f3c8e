#pragma once
// Errors of the steps this layer performs as whole units (open, line settings, modem lines,
// queues, break). An OS failure is described by the bare C-library text, from which
// SerialError recovers the number, so an open failure reads "[Errno n] <text>".

#include <string>
#include <utility>

#include "errors/serial_error.h"

namespace quorvelin::native {

inline SerialError library_os_error(int os_errno) {
    return SerialError::from_library_error(LibraryErrorKind::Io, os_error_text(os_errno));
}

// A value the device does not take (for example a baud rate it cannot run at).
inline SerialError library_invalid_input(std::string description) {
    return SerialError::from_library_error(LibraryErrorKind::InvalidInput, std::move(description));
}

// A failure of this layer's own that carries no error number.
inline SerialError library_failure(std::string description) {
    return SerialError::from_library_error(LibraryErrorKind::Unknown, std::move(description));
}

}  // namespace quorvelin::native
